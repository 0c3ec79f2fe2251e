<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - Log in</title>
<link rel="stylesheet" href="/style.css">
<link rel="icon" href="/favicon.ico">
</head>
<body class="centered">
<main class="card">
  <h1>Brisvane</h1>
  <p class="subtitle">UPS monitoring service</p>
  <form id="credentials">
    <label for="account">Account</label>
    <input id="account" type="text" autocomplete="username" maxlength="32" required autofocus>
    <label for="password">Password</label>
    <input id="password" type="password" autocomplete="current-password" maxlength="32" required>
    <button type="submit">Log in</button>
  </form>
  <!-- Only the account and the answer to the challenge are posted. -->
  <form id="login" method="post" action="/varno/login">
    <input type="hidden" id="Username" name="Username">
    <input type="hidden" id="Response" name="Response">
    <input type="hidden" id="challenge" value="<% LIN_CHALLENGE_VALUE %>">
  </form>
  <noscript><p class="notice">Logging in needs JavaScript: the page answers the server's challenge so that the password never leaves the browser.</p></noscript>
</main>
<script src="/login.js"></script>
</body>
</html>
