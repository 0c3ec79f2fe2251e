<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - SNMPv3 users</title>
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
<main class="page" id="net_snmpusm">
<h1>SNMPv3 users</h1>
<form class="system" method="post" action="dev_snmpv3">
<input type="hidden" name="SYS_UCTOKEN" value="<% SYS_UCTOKEN %>">
<fieldset>
  <legend>Context</legend>
  <label for="ACT_USM_CONTEXT">Context name of requests and traps</label>
  <input type="text" id="ACT_USM_CONTEXT" name="ACT_USM_CONTEXT" maxlength="16" value="<% ACT_USM_CONTEXT %>">
  <div class="buttons"><button type="submit" name="SUB_CONTEXT" value="1">Apply</button></div>
</fieldset>
<fieldset data-list data-flag="6" data-fixed-row="1" data-empty="No SNMPv3 user yet: add one below.">
  <legend>Users</legend>
  <table class="list">
    <thead><tr><th>#</th><th>User</th><th>Security</th><th>Authentication</th><th>Privacy</th><th>Permission</th></tr></thead>
    <tbody>
<% USM_USER_LIST %>    </tbody>
  </table>
  <p class="hint">Selected user: <span id="selected">none</span>. Click a user to edit or delete it; at most 32 users.
  Security 0 asks for no password, 1 authentication (MD5), 2 also privacy (DES).</p>
  <p class="hint" id="manager-note" data-fixed-note hidden>User 1, the manager, is not changed on this page: its name,
  security and passwords are User1=, Security1=, Auth1= and Priv1= of [USM] in config.ini, which the administrator
  downloads, edits and uploads on Maintenance &gt; Configuration file; Management on Settings &gt; Shutdown and reactions
  switches it on and off. Add a new user with these fields.</p>
  <label for="ACT_USM_USER">User name</label>
  <input type="text" id="ACT_USM_USER" name="ACT_USM_USER" maxlength="16" data-arg="1" autocomplete="off">
  <label for="ACT_USM_SECURITY">Security</label>
  <select id="ACT_USM_SECURITY" name="ACT_USM_SECURITY" data-arg="2">
    <option value="0">No authentication, no privacy</option>
    <option value="1">Authentication, no privacy</option>
    <option value="2">Authentication and privacy</option>
  </select>
  <label for="ACT_USM_AUTH">Authentication password (8 to 16 characters)</label>
  <input type="password" id="ACT_USM_AUTH" name="ACT_USM_AUTH" maxlength="16" autocomplete="new-password" placeholder="unchanged">
  <label for="ACT_USM_PRIV">Privacy password (8 to 16 characters)</label>
  <input type="password" id="ACT_USM_PRIV" name="ACT_USM_PRIV" maxlength="16" autocomplete="new-password" placeholder="unchanged">
  <label for="ACT_USM_PERMISSION">Permission</label>
  <select id="ACT_USM_PERMISSION" name="ACT_USM_PERMISSION" data-arg="5">
    <option value="1">Read only</option>
    <option value="2">Read and write</option>
    <option value="0">Disabled</option>
  </select>
  <div class="buttons">
    <button type="submit" formaction="dev_iusm" name="ACT_DEV_ADD" value="1">Add</button>
    <button type="submit" formaction="dev_iusm" data-op="ACT_DEV_EDIT" name="ACT_DEV_EDIT1" value="1">Save changes</button>
    <button type="submit" formaction="dev_iusm" data-op="ACT_DEV_DEL" name="ACT_DEV_DEL1" value="1" class="secondary">Delete</button>
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
