<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - Session ended</title>
<link rel="stylesheet" href="/style.css">
<link rel="icon" href="/favicon.ico">
</head>
<body class="centered">
<main class="card" id="ended">
  <h1>Session ended</h1>
  <p>Your session was ended to make room for a new login: all 16 sessions were in use, and yours had been unused the longest.</p>
  <p><a class="button" href="/login.asp">Log in again</a></p>
</main>
</body>
</html>
