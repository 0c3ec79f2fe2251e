<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - Identity</title>
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
<main class="page" id="info">
<h1>Identity</h1>
<h2>UPS</h2>
<table class="values">
  <tr><th>Model</th><td id="model" data-na-empty><% UPS_MODEL %></td></tr>
  <tr><th>Serial number</th><td id="serial" data-na-empty><% UPS_SERNUM %></td></tr>
  <tr><th>Firmware</th><td id="firmware" data-na-empty><% UPS_UPSVER %></td></tr>
  <!-- The model class only tells whether the UPS reports a reserve source beside its bypass (class 3). -->
  <tr><th>Model class</th><td id="modelclass" data-map="0:Standard (class 0)|1:Standard (class 1)|2:Standard (class 2)|3:With a reserve source beside the bypass (class 3)|4:Standard (class 4)"><% UPS_TYPE %></td></tr>
  <tr><th>Series</th><td id="series" data-map="0:n/a|1:Single unit (type 1)|2:Single unit (type 2)|3:Modular, with power modules (type 3)|4:Modular, with power modules (type 4)|5:Modular, with power modules (type 5)|6:Single unit (type 6)"><% UPS_SERIES %></td></tr>
  <tr><th>Output phases</th><td class="v"><% UPS_PHASE %></td></tr>
</table>
<h2>Ratings</h2>
<table class="values" id="ratings">
  <tr><th>Apparent power</th><td><span class="v" id="ratva"><% UPS_RATVA %></span><span class="unit">VA</span></td></tr>
  <tr><th>Active power</th><td><span class="v" id="ratpower"><% UPS_RATPOWER %></span><span class="unit">W</span></td></tr>
  <tr><th>Input voltage</th><td><span class="v"><% UPS_RATINVOLT %></span><span class="unit">V</span></td></tr>
  <tr><th>Output voltage</th><td><span class="v"><% UPS_RATOUTVOLT %></span><span class="unit">V</span></td></tr>
  <tr><th>Bypass voltage</th><td><span class="v"><% UPS_RATBYVOLT %></span><span class="unit">V</span></td></tr>
  <tr><th>Frequency</th><td><span class="v"><% UPS_RATFREQ %></span><span class="unit">Hz</span></td></tr>
  <tr><th>Battery voltage</th><td><span class="v"><% UPS_RATBATTVOLT %></span><span class="unit">V</span></td></tr>
  <tr><th>Low transfer voltage</th><td><span class="v"><% UPS_RATLOTXVOLT %></span><span class="unit">V</span></td></tr>
  <tr><th>High transfer voltage</th><td><span class="v"><% UPS_RATHITXVOLT %></span><span class="unit">V</span></td></tr>
</table>
<h2>Service</h2>
<table class="values">
  <tr><th>Service version</th><td id="swver"><% UPS_FWVER %></td></tr>
</table>
</main>
</div>
<script src="/device.js"></script>
</body>
</html>
