<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - History settings</title>
<link rel="stylesheet" href="/style.css">
<link rel="icon" href="/favicon.ico">
</head>
<body>
<header class="bar">
  <span class="brand">Brisvane</span>
  <nav><a href="/logout.asp?token=<% SYS_LINKTOKEN %>">Log out</a></nav>
</header>
<% SUM_OS_BANNER %>
<div class="layout">
<nav id="menu" aria-label="Pages" data-level="<% LIN_LOGIN_LEVEL %>"></nav>
<main class="page" id="histconfig">
<h1>History settings</h1>
<form class="settings" method="post" action="/en/hist_config">
<input type="hidden" name="SYS_UCTOKEN" value="<% SYS_UCTOKEN %>">
<!-- Enter in a field submits nothing: the default button is disabled. -->
<button type="submit" disabled hidden aria-hidden="true"></button>
<fieldset class="part">
<legend>Event log</legend>
<p>The event log keeps up to <span id="max-events"><% HCG_MAX_EVENTNUM %></span> records; past that the oldest are dropped.</p>
<p><button type="submit" name="CLEAR_LOG" value="1" data-confirm="Delete every record of the event log?">Clear event log</button></p>
</fieldset>
<fieldset class="part">
<legend>Data log</legend>
<table class="values">
  <tr><th>Months kept</th><td><input type="number" min="0" max="65535" name="HCG_MAX_DATANUM" value="<% HCG_MAX_DATANUM %>" aria-label="Months kept"> <span class="hint">0 switches the data log off</span></td></tr>
</table>
<p><button type="submit" name="HCG_APPLY" value="1">Apply</button>
   <button type="submit" name="CLEAR_DATA" value="1" data-confirm="Delete the data log files of this year and the last?">Clear data log</button></p>
</fieldset>
<fieldset class="part">
<legend>Periodic export</legend>
<p>Every few minutes the current readings are added as one line to UPS.csv in the export directory.</p>
<table class="values">
  <tr><th>Interval (minutes)</th><td><input type="number" min="0" max="255" name="HCG_AE_INTERVAL" value="<% HCG_AE_INTERVAL %>" aria-label="Export interval"> <span class="hint">0 off; 1 to 127</span></td></tr>
  <tr><th>Directory</th><td><input type="text" size="40" maxlength="255" name="HCG_AE_PATH" value="<% HCG_AE_PATH %>" aria-label="Export directory"></td></tr>
</table>
<p><button type="submit" name="HCG_AE_APPLY" value="1">Apply</button></p>
</fieldset>
</form>
</main>
</div>
<script src="/device.js"></script>
<script src="/hist.js"></script>
</body>
</html>
