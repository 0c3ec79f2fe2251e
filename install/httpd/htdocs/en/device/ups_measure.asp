<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - Measurements</title>
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
<main class="page" id="measure">
<h1>Measurements</h1>
<p>Output phases: <span class="v"><% UPS_PHASE %></span>. A phase the UPS does not report is left out.</p>
<h2>Input</h2>
<table class="values grid phases" id="input">
  <thead><tr><th>Reading</th><th>Phase 1</th><th>Phase 2</th><th>Phase 3</th></tr></thead>
  <tbody>
  <tr><td>Frequency (Hz)</td><td class="v sev<% PRP_C_INFREQ %>"><% UPS_INFREQ1 %></td><td class="v sev<% PRP_C_INFREQ %>"><% UPS_INFREQ2 %></td><td class="v sev<% PRP_C_INFREQ %>"><% UPS_INFREQ3 %></td></tr>
  <tr><td>Voltage (V)</td><td class="v sev<% PRP_C_INVOLT %>"><% UPS_INVOLT1 %></td><td class="v sev<% PRP_C_INVOLT %>"><% UPS_INVOLT2 %></td><td class="v sev<% PRP_C_INVOLT %>"><% UPS_INVOLT3 %></td></tr>
  <tr><td>Line voltage 1-2, 2-3, 3-1 (V)</td><td class="v"><% UPS_INVOLT12 %></td><td class="v"><% UPS_INVOLT23 %></td><td class="v"><% UPS_INVOLT31 %></td></tr>
  <tr><td>Current (A)</td><td class="v sev<% PRP_C_INAMP %>"><% UPS_INAMP1 %></td><td class="v sev<% PRP_C_INAMP %>"><% UPS_INAMP2 %></td><td class="v sev<% PRP_C_INAMP %>"><% UPS_INAMP3 %></td></tr>
  </tbody>
</table>
<h2>Output</h2>
<table class="values grid phases" id="output">
  <thead><tr><th>Reading</th><th>Phase 1</th><th>Phase 2</th><th>Phase 3</th></tr></thead>
  <tbody>
  <tr><td>Frequency (Hz)</td><td class="v sev<% PRP_C_OUTFREQ %>"><% UPS_OUTFREQ %></td><td></td><td></td></tr>
  <tr><td>Voltage (V)</td><td class="v sev<% PRP_C_OUTVOLT %>"><% UPS_OUTVOLT1 %></td><td class="v sev<% PRP_C_OUTVOLT %>"><% UPS_OUTVOLT2 %></td><td class="v sev<% PRP_C_OUTVOLT %>"><% UPS_OUTVOLT3 %></td></tr>
  <tr><td>Line voltage 1-2, 2-3, 3-1 (V)</td><td class="v"><% UPS_OUTVOLT12 %></td><td class="v"><% UPS_OUTVOLT23 %></td><td class="v"><% UPS_OUTVOLT31 %></td></tr>
  <tr><td>Current (A)</td><td class="v sev<% PRP_C_OUTAMP %>"><% UPS_OUTAMP1 %></td><td class="v sev<% PRP_C_OUTAMP %>"><% UPS_OUTAMP2 %></td><td class="v sev<% PRP_C_OUTAMP %>"><% UPS_OUTAMP3 %></td></tr>
  <tr><td>Power (W)</td><td class="v sev<% PRP_C_OUTPOWER %>"><% UPS_OUTPOWER1 %></td><td class="v sev<% PRP_C_OUTPOWER %>"><% UPS_OUTPOWER2 %></td><td class="v sev<% PRP_C_OUTPOWER %>"><% UPS_OUTPOWER3 %></td></tr>
  <tr><td>Load (%)</td><td class="v sev<% PRP_C_OUTLOAD %>"><% UPS_OUTLOAD1 %></td><td class="v sev<% PRP_C_OUTLOAD %>"><% UPS_OUTLOAD2 %></td><td class="v sev<% PRP_C_OUTLOAD %>"><% UPS_OUTLOAD3 %></td></tr>
  </tbody>
</table>
<h2>Bypass</h2>
<table class="values grid phases" id="bypass">
  <thead><tr><th>Reading</th><th>Phase 1</th><th>Phase 2</th><th>Phase 3</th></tr></thead>
  <tbody>
  <tr><td>Frequency (Hz)</td><td class="v sev<% PRP_C_BYFREQ %>"><% UPS_BYFREQ %></td><td></td><td></td></tr>
  <tr><td>Voltage (V)</td><td class="v sev<% PRP_C_BYVOLT %>"><% UPS_BYVOLT1 %></td><td class="v sev<% PRP_C_BYVOLT %>"><% UPS_BYVOLT2 %></td><td class="v sev<% PRP_C_BYVOLT %>"><% UPS_BYVOLT3 %></td></tr>
  <tr><td>Line voltage 1-2, 2-3, 3-1 (V)</td><td class="v"><% UPS_BYVOLT12 %></td><td class="v"><% UPS_BYVOLT23 %></td><td class="v"><% UPS_BYVOLT31 %></td></tr>
  <tr><td>Current (A)</td><td class="v sev<% PRP_C_BYAMP %>"><% UPS_BYAMP1 %></td><td class="v sev<% PRP_C_BYAMP %>"><% UPS_BYAMP2 %></td><td class="v sev<% PRP_C_BYAMP %>"><% UPS_BYAMP3 %></td></tr>
  <tr><td>Power (W)</td><td class="v sev<% PRP_C_BYPOWER %>"><% UPS_BYPOWER1 %></td><td class="v sev<% PRP_C_BYPOWER %>"><% UPS_BYPOWER2 %></td><td class="v sev<% PRP_C_BYPOWER %>"><% UPS_BYPOWER3 %></td></tr>
  </tbody>
</table>
<h2>Battery</h2>
<table class="values" id="battery">
  <tr><th>Voltage</th><td><span class="v sev<% PRP_C_BATTVOLT %>" id="battvolt"><% UPS_BATTVOLT %></span><span class="unit">V</span></td></tr>
  <tr><th>Current</th><td><span class="v sev<% PRP_C_BATTAMP %>"><% UPS_BATTAMP %></span><span class="unit">A</span></td></tr>
  <tr><th>Charge</th><td><span class="v sev<% PRP_C_BLEVEL %>" id="battlevel"><% UPS_BATTLEVEL %></span><span class="unit">%</span></td></tr>
  <tr><th>Remaining run time</th><td><span class="hm sev<% PRP_C_BATTREMAIN %>"><% UPS_BATTREMAIN %></span></td></tr>
  <tr><th>Temperature</th><td><span class="v sev<% PRP_C_TEMP %>"><% UPS_TEMP %></span><span class="unit">°C</span></td></tr>
  <tr><th>Charge current (positive, negative string)</th><td><span class="v"><% UPS_CHG_CUR_POS %></span> / <span class="v"><% UPS_CHG_CUR_NEG %></span><span class="unit">A</span></td></tr>
  <tr><th>Negative string voltage</th><td><span class="v"><% UPS_NEGBATTVOLT %></span><span class="unit">V</span></td></tr>
  <tr><th>Negative string current</th><td><span class="v"><% UPS_NEGBATTAMP %></span><span class="unit">A</span></td></tr>
  <tr><th>Negative string charge</th><td><span class="v"><% UPS_NEGBATTLEVEL %></span><span class="unit">%</span></td></tr>
  <tr><th>Negative string temperature</th><td><span class="v"><% UPS_NEGTEMP %></span><span class="unit">°C</span></td></tr>
</table>
</main>
</div>
<script src="/device.js"></script>
</body>
</html>
