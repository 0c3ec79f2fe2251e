<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - UPS port</title>
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
<main class="page" id="comport">
<h1>UPS port</h1>
<p>A new choice closes the UPS link; the next detection pass, within 5 seconds, probes the new port.</p>
<form class="settings" method="post" action="/en/device/mgnt_comport">
<input type="hidden" name="SYS_UCTOKEN" value="<% SYS_UCTOKEN %>">
<!-- Enter in a field submits nothing: the default button is disabled. -->
<button type="submit" disabled hidden aria-hidden="true"></button>
<table class="values">
  <tr><th>UPS port</th><td><select name="ACT_COM_PORT" data-value="<% ACT_COM_INDEX %>" data-serial-from="2" aria-label="UPS port"><option value="0">Automatic search</option><option value="1">USB</option></select></td></tr>
  <tr><th>Device path</th><td><input type="text" maxlength="64" size="32" name="ACT_COM_PATH" value="<% ACT_COM_PATH %>" placeholder="/dev/ttyUSB0"> <span class="hint">opened in place of the serial port chosen above, so choose /dev/ttyS0 (or another serial port) with it: automatic search takes no path, and USB does not use it</span></td></tr>
</table>
<p><button type="submit" name="COM_APPLY" value="1">Apply</button></p>
</form>
</main>
</div>
<script src="/device.js"></script>
</body>
</html>
