<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - Web server</title>
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
<main class="page" id="sys_web">
<h1>Web server</h1>
<form class="system" method="post" action="sys_web" enctype="multipart/form-data">
<input type="hidden" name="SYS_UCTOKEN" value="<% SYS_UCTOKEN %>">
<p class="notice">A change of the listeners, ports or certificate restarts the web server: the page then loses its connection; open it again at the new address.</p>
<fieldset>
  <legend>HTTP</legend>
  <label class="inline"><input type="radio" name="HTTP_WEB" value="1" data-checked="<% WEB_HTTP_EN %>"> On</label>
  <label class="inline"><input type="radio" name="HTTP_WEB" value="0" data-checked="<% WEB_HTTP_DIS %>"> Off</label>
  <label for="WEB_HTTP_PORT">Port</label>
  <input type="number" id="WEB_HTTP_PORT" name="WEB_HTTP_PORT" min="1" max="65535" required value="<% WEB_HTTP_PORT %>">
</fieldset>
<fieldset>
  <legend>HTTPS</legend>
  <label class="inline"><input type="radio" name="HTTPS_WEB" value="1" data-checked="<% WEB_HTTPS_EN %>"> On</label>
  <label class="inline"><input type="radio" name="HTTPS_WEB" value="0" data-checked="<% WEB_HTTPS_DIS %>"> Off</label>
  <label for="WEB_HTTPS_PORT">Port</label>
  <input type="number" id="WEB_HTTPS_PORT" name="WEB_HTTPS_PORT" min="1" max="65535" required value="<% WEB_HTTPS_PORT %>">
  <p>Send plain HTTP requests for missing pages to HTTPS:</p>
  <label class="inline"><input type="radio" name="WEB_FORCEHTTPS" value="1" data-checked="<% WEB_FORCEHTTPS_EN %>"> Yes</label>
  <label class="inline"><input type="radio" name="WEB_FORCEHTTPS" value="0" data-checked="<% WEB_FORCEHTTPS_DIS %>"> No</label>
  <label for="WEB_SSLCERT">New certificate (one PEM file with the certificate and its private key)</label>
  <input type="file" id="WEB_SSLCERT" name="WEB_SSLCERT" accept=".pem,.crt,.key,application/x-pem-file">
</fieldset>
<fieldset>
  <legend>Pages</legend>
  <label for="WEB_REFRESH">Refresh of the status pages (seconds)</label>
  <input type="number" id="WEB_REFRESH" name="WEB_REFRESH" min="1" max="65535" required value="<% WEB_REFRESH %>">
</fieldset>
<div class="buttons"><button type="submit">Apply</button></div>
</form>
</main>
</div>
<script src="/device.js"></script>
<script src="/sys.js"></script>
</body>
</html>
