<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - Modules</title>
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
<main class="page" id="module">
<h1>Modules</h1>
<h2>Power modules</h2>
<div id="modules" data-show="<% UPS_SHOW_MODULE %>" data-status="<% UPS_STS_MODULE %>"><noscript>The module tables need JavaScript.</noscript></div>
<template id="module-data"><% UPS_PM_TEMP_PFC %><% UPS_PM_TEMP_INVERTER %><% UPS_PM_TEMP_INVR %><% UPS_PM_TEMP_INVS %><% UPS_PM_TEMP_INVT %><% UPS_PM_VOLT_INVR %><% UPS_PM_VOLT_INVS %><% UPS_PM_VOLT_INVT %></template>
<template id="module-alarms"><% UPS_PM_STS %></template>
<h2>Module bypass alarms</h2>
<div class="alarms">
  <div class="alarm lvl<% UPS_PM_BYPASS_BAD %>">Bypass fault</div>
  <div class="alarm lvl<% UPS_PM_BYPASS_SEQ %>">Bypass sequence fault</div>
  <div class="alarm lvl<% UPS_PM_BYPASS_OVERLOAD %>">Bypass overload</div>
  <div class="alarm lvl<% UPS_PM_BYPASS_OVERTEMP %>">Bypass over temperature</div>
  <div class="alarm lvl<% UPS_PM_BYPASS_STSFAIL %>">Static switch failure</div>
</div>
<h2>Battery cabinets</h2>
<div id="cabinets" data-present="<% UPS_BATTCAB_NUM %>"></div>
<template id="cabinet-data"><% UPS_BATTCAB_TEMP %></template>
<p data-shown="<% UPS_BATTCAB_BREAKER %>">Cabinet breaker: <span data-map="0:Open|1:Closed"><% UPS_BATTCAB_BREAKER %></span></p>
<h2>Battery modules</h2>
<div id="battery-modules"></div>
<template id="battery-data"><% UPS_BATT_STRING %></template>
</main>
</div>
<script src="/device.js"></script>
</body>
</html>
