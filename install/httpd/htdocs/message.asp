<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Brisvane - Message</title>
<link rel="stylesheet" href="/style.css">
<link rel="icon" href="/favicon.ico">
</head>
<body class="centered">
<% SUM_OS_BANNER %>
<main class="card">
  <h1 id="title"><% ERR_TITLE %></h1>
  <div id="message" class="message"><% ERR_MSG %></div>
  <button type="button" id="ok" onclick="<% ERR_PATH %>">OK</button>
</main>
</body>
</html>
