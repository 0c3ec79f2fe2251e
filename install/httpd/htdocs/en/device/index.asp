<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta http-equiv="refresh" content="0; url=/home.asp">
<title>Brisvane</title>
<link rel="stylesheet" href="/style.css">
<link rel="icon" href="/favicon.ico">
</head>
<body class="centered">
<main class="card">
  <p><a href="/home.asp">Continue to the home page</a></p>
</main>
</body>
</html>
