<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - Accounts</title>
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
<main class="page" id="sys_user">
<h1>Accounts</h1>
<form class="system" method="post" action="sys_user">
<input type="hidden" name="SYS_UCTOKEN" value="<% SYS_UCTOKEN %>">
<p class="hint">Passwords have 8 to 32 characters; a password left empty stays as it is. Account names and passwords cannot hold &lt; &gt; &amp; ' or &quot;.</p>
<fieldset>
  <legend>Administrator</legend>
  <label for="USR_ACCOUNT1">Account</label>
  <input type="text" id="USR_ACCOUNT1" name="USR_ACCOUNT1" maxlength="32" required value="<% USR_ACCOUNT1 %>">
  <label for="USR_PASSWD1">New password</label>
  <input type="password" id="USR_PASSWD1" name="USR_PASSWD1" minlength="8" maxlength="32" autocomplete="new-password" placeholder="unchanged">
</fieldset>
<fieldset>
  <legend>Device manager</legend>
  <label for="USR_ACCOUNT2">Account</label>
  <input type="text" id="USR_ACCOUNT2" name="USR_ACCOUNT2" maxlength="32" required value="<% USR_ACCOUNT2 %>">
  <label for="USR_PASSWD2">New password</label>
  <input type="password" id="USR_PASSWD2" name="USR_PASSWD2" minlength="8" maxlength="32" autocomplete="new-password" placeholder="unchanged">
</fieldset>
<fieldset>
  <legend>User</legend>
  <label for="USR_ACCOUNT3">Account</label>
  <input type="text" id="USR_ACCOUNT3" name="USR_ACCOUNT3" maxlength="32" required value="<% USR_ACCOUNT3 %>">
  <label for="USR_PASSWD3">New password</label>
  <input type="password" id="USR_PASSWD3" name="USR_PASSWD3" minlength="8" maxlength="32" autocomplete="new-password" placeholder="unchanged">
</fieldset>
<fieldset>
  <legend>Login lock</legend>
  <label class="inline"><input type="checkbox" id="USR_LOCK" name="USR_LOCK" value="1" data-checked="<% USR_LOCK %>"> Lock an account after failed logins</label>
  <label for="USR_RETRY">Failed logins before the lock</label>
  <input type="number" id="USR_RETRY" name="USR_RETRY" min="0" max="65535" value="<% USR_RETRY %>">
  <label for="USR_LTIME">Lock time (minutes)</label>
  <input type="number" id="USR_LTIME" name="USR_LTIME" min="0" max="65535" value="<% USR_LTIME %>">
</fieldset>
<div class="buttons"><button type="submit">Apply</button></div>
</form>
</main>
</div>
<script src="/device.js"></script>
<script src="/sys.js"></script>
</body>
</html>
