<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - Traps</title>
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
<main class="page" id="net_snmptrap">
<h1>Traps and network shutdown clients</h1>
<form class="system" method="post" action="/en/device/trap_iconfig">
<input type="hidden" name="SYS_UCTOKEN" value="<% SYS_UCTOKEN %>">
<!-- Enter in a field submits nothing: the default button is disabled. -->
<button type="submit" disabled hidden aria-hidden="true"></button>
<fieldset data-list data-flag="9" data-empty="No trap receiver yet: add one below.">
  <legend>Trap receivers</legend>
  <table class="list">
    <thead><tr><th>#</th><th>Address</th><th>Community</th><th>Port</th><th>MIB</th><th>Version</th><th>Lowest level sent</th><th>SNMPv3 user</th></tr></thead>
    <tbody>
<% TRAP_LIST_ADD %>    </tbody>
  </table>
  <p class="hint">Selected receiver: <span id="selected">none</span>. Click a receiver to edit or delete it; at most 255 receivers.
  A network shutdown client gets every trap and is asked for its state at its client port.</p>
  <label for="TRAP_NMS">Address</label>
  <input type="text" id="TRAP_NMS" name="TRAP_NMS" maxlength="51" data-arg="1" placeholder="192.0.2.20">
  <label for="TRAP_COMM">Community (SNMPv1 and SNMPv2c)</label>
  <input type="text" id="TRAP_COMM" name="TRAP_COMM" maxlength="16" data-arg="2" autocomplete="off">
  <label for="TRAP_PORT">Trap port</label>
  <input type="number" id="TRAP_PORT" name="TRAP_PORT" min="0" max="65535" data-arg="3">
  <label for="TRAP_MIB">MIB</label>
  <select id="TRAP_MIB" name="TRAP_MIB" data-arg="4">
    <option value="0">UPSv4</option>
    <option value="1">UPSv5</option>
  </select>
  <label for="TRAP_TYPE">Version</label>
  <select id="TRAP_TYPE" name="TRAP_TYPE" data-arg="5">
    <option value="0">v1</option>
    <option value="1">v2c</option>
    <option value="2">v3</option>
  </select>
  <label for="TRAP_LEVEL">Lowest level sent</label>
  <select id="TRAP_LEVEL" name="TRAP_LEVEL" data-arg="6">
    <option value="0">None</option>
    <option value="1">Information</option>
    <option value="2">Warning</option>
    <option value="3">Severity</option>
    <option value="4">Shutdown client (every trap)</option>
  </select>
  <label for="TRAP_USER">SNMPv3 user</label>
  <input type="text" id="TRAP_USER" name="TRAP_USER" maxlength="16" data-arg="7" autocomplete="off">
  <label for="TRAP_NCP">Client port (network shutdown clients)</label>
  <input type="number" id="TRAP_NCP" name="TRAP_NCP" min="0" max="65535" data-arg="8">
  <label for="TRAP_TWICE">Send every trap twice</label>
  <select id="TRAP_TWICE" name="TRAP_TWICE" data-arg="10">
    <option value="0">No</option>
    <option value="1">Yes</option>
  </select>
  <div class="buttons">
    <button type="submit" name="TRAP_ADD" value="1">Add</button>
    <button type="submit" data-op="TRAP_EDIT" name="TRAP_EDIT1" value="1">Save changes</button>
    <button type="submit" data-op="TRAP_DEL" name="TRAP_DEL1" value="1" class="secondary">Delete</button>
  </div>
</fieldset>
</form>
<section>
<h2>Network shutdown clients</h2>
<p>Clients watched: <span id="client-count"><% NCS_NC_NUM %></span></p>
<template id="clients-data"><% NCS_NC_LIST %></template>
<table class="list" id="clients">
  <thead><tr><th>Address</th><th>Host</th><th>Operating system</th><th>Shutdown countdown</th><th>Reason</th><th>Last answer</th></tr></thead>
  <tbody></tbody>
</table>
</section>
</main>
</div>
<script src="/device.js"></script>
<script src="/sys.js"></script>
<script src="/snmp.js"></script>
</body>
</html>
