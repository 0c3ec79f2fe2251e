<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - Configuration file</title>
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
<main class="page" id="batch">
<h1>Configuration file</h1>
<p>The configuration file holds every setting of the service. A file uploaded here replaces the settings it names; one without its closing "[End]" line is refused.</p>
<form class="settings" method="post" action="/en/sys_batch" enctype="multipart/form-data">
<input type="hidden" name="SYS_UCTOKEN" value="<% SYS_UCTOKEN %>">
<!-- Enter in a field submits nothing: the default button is disabled. -->
<button type="submit" disabled hidden aria-hidden="true"></button>
<h2>Download</h2>
<p><button type="submit" name="DL_SYSTEM" value="1">Download config.ini</button></p>
<h2>Upload</h2>
<p><input type="file" name="UL_F_SYSTEM" accept=".ini,text/plain" aria-label="Configuration file"> <button type="submit" name="UL_SYSTEM" value="1">Upload</button></p>
</form>
</main>
</div>
<script src="/device.js"></script>
</body>
</html>
