<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - Summary</title>
<link rel="stylesheet" href="/style.css">
<link rel="icon" href="/favicon.ico">
</head>
<body data-refresh="<% WEB_REFRESH %>">
<header class="bar">
  <span class="brand">Brisvane</span>
  <nav><a href="/logout.asp?token=<% SYS_LINKTOKEN %>">Log out</a></nav>
</header>
<% SUM_OS_BANNER %>
<div class="layout">
<nav id="menu" aria-label="Pages" data-level="<% LIN_LOGIN_LEVEL %>"></nav>
<main class="page" id="home">
<h1>Summary</h1>
<div class="notice" id="default-passwords" data-mask="<% SYS_DFTPASSWRD %>" hidden></div>
<template id="default-snmp"><% SYS_DFTSNMP %></template>
<h2>UPS</h2>
<table class="values">
  <tr><th>Model</th><td class="<% PRP_C_MODEL %>" id="model" data-na-empty><% UPS_MODEL %></td></tr>
  <tr><th>Communication</th><td class="<% PRP_C_COMMSTS %>" data-map="0:Normal|1:Lost" id="comm"><% UPS_COMMSTS %></td></tr>
  <tr><th>Output source</th><td class="sev<% PRP_C_OUTSRC %>" data-map="0:Utility|1:Battery|2:Bypass|3:Utility, voltage lowered (buck)|4:Utility, voltage raised (boost)|5:Source 5|6:Source 6|7:Output off|8:Utility" id="outsrc"><% UPS_OUTSRC %></td></tr>
  <tr><th>Battery</th><td class="sev<% PRP_C_BATTSTS %>" data-map="0:Normal|1:Weak|2:Low|3:Depleted|4:Replace" id="battery"><% UPS_BATTSTS %></td></tr>
  <tr><th>Battery charge</th><td><span class="v sev<% PRP_C_BLEVEL %>"><% UPS_BATTLEVEL %></span><span class="unit">%</span> <span class="sev<% PRP_C_BATTCHARGE %>" data-map="0:Idle|1:Charging|2:Discharging"><% UPS_BATTCHARGE %></span></td></tr>
  <tr><th>Remaining run time</th><td><span class="hm sev<% PRP_C_BATTREMAIN %>"><% UPS_BATTREMAIN %></span></td></tr>
  <tr><th>Input voltage</th><td><span class="v sev<% PRP_C_INVOLT %>"><% UPS_INVOLT1 %></span><span class="unit">V</span></td></tr>
  <tr><th>Output voltage</th><td><span class="v"><% UPS_OUTVOLT1 %></span><span class="unit">V</span></td></tr>
  <tr><th>Output load</th><td><span class="v sev<% PRP_C_OUTLOAD %>"><% UPS_OUTLOAD1 %></span><span class="unit">%</span></td></tr>
</table>
<h2>Service</h2>
<table class="values">
  <tr><th>Host</th><td><% SUM_HOST_NAME %></td></tr>
  <tr><th>System</th><td><% SUM_OS_DESC %></td></tr>
  <tr><th>UPS port</th><td id="port" data-port="<% ACT_COM_INDEX %>"><% ACT_COM_PATH %></td></tr>
  <tr><th>Service version</th><td><% SUM_SWVER %></td></tr>
  <tr><th>Shutdown countdown</th><td><span class="secs" id="countdown"><% SUM_OS_COUNTDOWN %></span> <span class="warning" data-map="0:|1:(cancelled)"><% SUM_OS_CANCEL %></span></td></tr>
  <tr><th>At the end of a countdown</th><td data-map="0:Shut down|1:Power off|2:Hibernate"><% SUM_SHUT_TYPE %></td></tr>
</table>
<h2>Planned actions</h2>
<table class="values">
  <tr><th>Next shutdown</th><td id="next-shutdown" data-next-shutdown><% UPS_SCH_NEXTOFF %></td></tr>
  <tr><th>Next power on</th><td><% UPS_SCH_NEXTON %></td></tr>
  <tr><th>Next battery test</th><td><% UPS_SCH_NEXTTEST %></td></tr>
  <tr><th>Next deep battery test</th><td><% UPS_SCH_NEXTDEEPTEST %></td></tr>
</table>
<h2>Recent events (<% SUM_SLOG_NUM %>)</h2>
<div id="recent"><noscript>The event list needs JavaScript.</noscript></div>
<template id="recent-data"><% SUM_SLOG_LIST %></template>
</main>
</div>
<script src="/device.js"></script>
</body>
</html>
