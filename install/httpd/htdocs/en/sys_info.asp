<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - System information</title>
<link rel="stylesheet" href="/style.css">
<link rel="stylesheet" href="/sys.css">
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
<main class="page" id="sys_info">
<h1>System information</h1>
<form class="system" method="post" action="sys_info">
<input type="hidden" name="SYS_UCTOKEN" value="<% SYS_UCTOKEN %>">
<fieldset>
  <legend>This system</legend>
  <label for="INF_NAME">Name</label>
  <input type="text" id="INF_NAME" name="INF_NAME" maxlength="32" value="<% INF_NAME %>">
  <label for="INF_LOCATION">Location</label>
  <input type="text" id="INF_LOCATION" name="INF_LOCATION" maxlength="64" value="<% INF_LOCATION %>">
  <label for="INF_CONTACTOR">Contact</label>
  <input type="text" id="INF_CONTACTOR" name="INF_CONTACTOR" maxlength="32" value="<% INF_CONTACTOR %>">
  <label for="INF_DESCRIPTION">Description</label>
  <textarea id="INF_DESCRIPTION" name="INF_DESCRIPTION" maxlength="128"><% INF_DESCRIPTION %></textarea>
  <label for="INF_INSTALL_DATE">Installed on (mm/dd/yyyy)</label>
  <input type="text" id="INF_INSTALL_DATE" name="INF_INSTALL_DATE" maxlength="32" value="<% INF_INSTALL_DATE %>">
</fieldset>
<div class="buttons"><button type="submit">Apply</button></div>
</form>
<h2>Service</h2>
<table class="list">
  <tr><th>Address</th><td id="device-ip"><% LIN_DEVICE_IP %></td></tr>
  <tr><th>Time</th><td id="time"><% SYS_TIME %></td></tr>
  <tr><th>Version</th><td><% LIN_SWVER %></td></tr>
</table>
</main>
</div>
<script src="/device.js"></script>
<script src="/sys.js"></script>
</body>
</html>
