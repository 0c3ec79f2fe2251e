<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - Logged out</title>
<link rel="stylesheet" href="/style.css">
<link rel="icon" href="/favicon.ico">
</head>
<body class="centered">
<main class="card">
  <h1>Logged out</h1>
  <p>Your session has ended.</p>
  <p><a class="button" href="/login.asp">Log in again</a></p>
</main>
</body>
</html>
