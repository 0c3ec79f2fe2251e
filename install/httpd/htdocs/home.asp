<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane</title>
<link rel="stylesheet" href="/style.css">
<link rel="icon" href="/favicon.ico">
</head>
<body>
<header class="bar">
  <span class="brand">Brisvane</span>
  <nav><a href="/logout.asp">Log out</a></nav>
</header>
<main class="page" id="home">
  <h1>Home</h1>
  <p>The status, history, settings and control pages of the UPS appear here.</p>
</main>
</body>
</html>
