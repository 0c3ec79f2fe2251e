<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - Language</title>
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
<main class="page" id="sys_lang">
<h1>Language</h1>
<form class="system" method="post" action="language">
<input type="hidden" name="SYS_UCTOKEN" value="<% SYS_UCTOKEN %>">
<fieldset>
  <legend>Language of the event texts</legend>
  <label for="LANG">Language</label>
  <select id="LANG" name="LANG" data-value="<% LIN_LANG %>">
    <option value="0">English</option>
    <option value="1" lang="zh-Hant">繁體中文 (Traditional Chinese)</option>
    <option value="2" lang="zh-Hans">简体中文 (Simplified Chinese)</option>
    <option value="3" lang="pl">Polski (Polish)</option>
  </select>
  <p class="hint">Events logged from now on, mails and SMS use the new language.</p>
</fieldset>
<div class="buttons"><button type="submit">Apply</button></div>
</form>
</main>
</div>
<script src="/device.js"></script>
<script src="/sys.js"></script>
</body>
</html>
