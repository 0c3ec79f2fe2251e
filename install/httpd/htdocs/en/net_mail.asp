<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - Mail</title>
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
<main class="page" id="net_mail">
<h1>Mail</h1>
<form class="system" method="post" action="net_mail">
<input type="hidden" name="SYS_UCTOKEN" value="<% SYS_UCTOKEN %>">
<fieldset>
  <legend>Mail server</legend>
  <label for="MAIL_SERVER">Server (name or address)</label>
  <input type="text" id="MAIL_SERVER" name="MAIL_SERVER" maxlength="64" value="<% MAIL_SERVER %>">
  <label for="MAIL_PORT">Port</label>
  <input type="number" id="MAIL_PORT" name="MAIL_PORT" min="1" max="65535" value="<% MAIL_PORT %>">
  <label for="MAIL_SENDER">Account on the server</label>
  <input type="text" id="MAIL_SENDER" name="MAIL_SENDER" maxlength="64" autocomplete="off" value="<% MAIL_SENDER %>">
  <label for="MAIL_PASSWORD">Password</label>
  <input type="password" id="MAIL_PASSWORD" name="MAIL_PASSWORD" maxlength="64" autocomplete="new-password" placeholder="unchanged" value="<% MAIL_PASSWORD %>">
  <label for="MAIL_MAILSENDER">Sender address</label>
  <input type="text" id="MAIL_MAILSENDER" name="MAIL_MAILSENDER" maxlength="64" value="<% MAIL_MAILSENDER %>">
  <label for="MAIL_DOMAIN">Domain of the greeting (empty: the host name)</label>
  <input type="text" id="MAIL_DOMAIN" name="MAIL_DOMAIN" maxlength="64" value="<% MAIL_DOMAIN %>">
  <div class="buttons"><button type="submit">Apply</button></div>
</fieldset>
<fieldset data-list data-flag="3" data-empty="No receiver yet: add one below.">
  <legend>Receivers</legend>
  <table class="list">
    <thead><tr><th>#</th><th>Address</th><th>Lowest level mailed</th></tr></thead>
    <tbody>
<% MAIL_LIST_ADD %>    </tbody>
  </table>
  <p class="hint">Selected receiver: <span id="selected">none</span>. Click a receiver to edit or delete it.</p>
  <label for="MAIL_RCV">Address</label>
  <input type="text" id="MAIL_RCV" name="MAIL_RCV" maxlength="64" data-role="text" placeholder="someone@example.org">
  <label for="MAIL_PER">Lowest level mailed</label>
  <select id="MAIL_PER" name="MAIL_PER" data-role="level">
    <option value="0">None</option>
    <option value="1">Information</option>
    <option value="2">Warning</option>
    <option value="3">Severity</option>
  </select>
  <div class="buttons">
    <button type="submit" formaction="smtp_iconfig" name="SMTP_ADD" value="1">Add</button>
    <button type="submit" formaction="smtp_iconfig" data-op="SMTP_EDIT" name="SMTP_EDIT1" value="1">Save changes</button>
    <button type="submit" formaction="smtp_iconfig" data-op="SMTP_DEL" name="SMTP_DEL1" value="1" class="secondary">Delete</button>
    <button type="submit" formaction="smtp_iconfig" name="SMTP_TEST" value="1" class="secondary">Send a test mail</button>
  </div>
</fieldset>
</form>
</main>
</div>
<script src="/device.js"></script>
<script src="/sys.js"></script>
</body>
</html>
