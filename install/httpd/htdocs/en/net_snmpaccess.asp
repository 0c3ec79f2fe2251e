<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - SNMP agent</title>
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
<main class="page" id="net_snmpaccess">
<h1>SNMP agent</h1>
<form class="system" method="post" action="dev_snmpv1">
<input type="hidden" name="SYS_UCTOKEN" value="<% SYS_UCTOKEN %>">
<fieldset>
  <legend>Agent</legend>
  <label for="ACT_SNMP_PORT">UDP port of SNMPv1 and SNMPv3 requests</label>
  <input type="number" id="ACT_SNMP_PORT" name="ACT_SNMP_PORT" min="1" max="65535" value="<% ACT_SNMP_PORT %>">
  <p class="hint">A new port is opened within 5 seconds.</p>
  <div class="buttons"><button type="submit" name="SUB_PORT" value="1">Apply</button></div>
</fieldset>
<fieldset data-list data-flag="4" data-empty="No SNMPv1 access entry: no SNMPv1 request is answered. Add one below.">
  <legend>SNMPv1 access</legend>
  <table class="list">
    <thead><tr><th>#</th><th>Source address</th><th>Community</th><th>Permission</th></tr></thead>
    <tbody>
<% ACS_SOURCE_LIST %>    </tbody>
  </table>
  <p class="hint">Selected entry: <span id="selected">none</span>. Click an entry to edit or delete it; at most 255 entries.
  The address 0.0.0.0 admits every IPv4 source, :: every IPv6 source. Permission 1 reads, 2 reads and writes.</p>
  <label for="ACT_DEV_IP">Source address</label>
  <input type="text" id="ACT_DEV_IP" name="ACT_DEV_IP" maxlength="51" data-arg="1" placeholder="192.0.2.10">
  <label for="ACT_DEV_COMM">Community</label>
  <input type="text" id="ACT_DEV_COMM" name="ACT_DEV_COMM" maxlength="16" data-arg="2" autocomplete="off">
  <label for="ACT_DEV_PERMISSION">Permission</label>
  <select id="ACT_DEV_PERMISSION" name="ACT_DEV_PERMISSION" data-arg="3">
    <option value="1">Read only</option>
    <option value="2">Read and write</option>
    <option value="0">None</option>
  </select>
  <div class="buttons">
    <button type="submit" formaction="dev_iaccess" name="ACT_DEV_ADD" value="1">Add</button>
    <button type="submit" formaction="dev_iaccess" data-op="ACT_DEV_EDIT" name="ACT_DEV_EDIT1" value="1">Save changes</button>
    <button type="submit" formaction="dev_iaccess" data-op="ACT_DEV_DEL" name="ACT_DEV_DEL1" value="1" class="secondary">Delete</button>
  </div>
</fieldset>
</form>
</main>
</div>
<script src="/device.js"></script>
<script src="/sys.js"></script>
<script src="/snmp.js"></script>
</body>
</html>
