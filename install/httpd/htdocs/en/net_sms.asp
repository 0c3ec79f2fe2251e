<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - SMS</title>
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
<main class="page" id="net_sms">
<h1>SMS</h1>
<form class="system" method="post" action="net_sms">
<input type="hidden" name="SYS_UCTOKEN" value="<% SYS_UCTOKEN %>">
<fieldset>
  <legend>GSM modem</legend>
  <label for="SMS_COM">Serial port of the modem</label>
  <select id="SMS_COM" name="SMS_COM" data-value="<% SMS_COM %>" data-serial-from="1"><option value="0">Off</option></select>
  <label for="SMS_BAUD">Line speed</label>
  <select id="SMS_BAUD" name="SMS_BAUD" data-value="<% SMS_BAUD %>">
    <option value="0">2400</option>
    <option value="1">4800</option>
    <option value="2">9600</option>
    <option value="3">19200</option>
    <option value="4">115200</option>
  </select>
  <div class="buttons"><button type="submit">Apply</button></div>
</fieldset>
<fieldset data-list data-flag="3" data-empty="No phone yet: add one below.">
  <legend>Phones</legend>
  <table class="list">
    <thead><tr><th>#</th><th>Number</th><th>Lowest level sent</th></tr></thead>
    <tbody>
<% SMS_LIST %>    </tbody>
  </table>
  <p class="hint">Selected phone: <span id="selected">none</span>. Click a phone to edit or delete it; at most 16 phones.</p>
  <label for="SMS_PHONE">Number</label>
  <input type="text" id="SMS_PHONE" name="SMS_PHONE" maxlength="32" data-role="text" placeholder="+15550100">
  <label for="SMS_PER">Lowest level sent</label>
  <select id="SMS_PER" name="SMS_PER" data-role="level">
    <option value="0">None</option>
    <option value="1">Information</option>
    <option value="2">Warning</option>
    <option value="3">Severity</option>
  </select>
  <div class="buttons">
    <button type="submit" formaction="net_isms" name="DEV_ADD" value="1">Add</button>
    <button type="submit" formaction="net_isms" data-op="DEV_EDIT" name="DEV_EDIT1" value="1">Save changes</button>
    <button type="submit" formaction="net_isms" data-op="DEV_DEL" name="DEV_DEL1" value="1" class="secondary">Delete</button>
  </div>
</fieldset>
</form>
</main>
</div>
<script src="/device.js"></script>
<script src="/sys.js"></script>
</body>
</html>
