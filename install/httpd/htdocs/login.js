// Login: the page answers the server's challenge with the lower-case hex
// MD5 of account, password and challenge (their UTF-8 bytes, one after the
// other), so the password itself is never sent.
(function () {
  "use strict";

  var S = [7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
           5, 9, 14, 20, 5, 9, 14, 20, 5, 9, 14, 20, 5, 9, 14, 20,
           4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
           6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21];
  var K = [];
  for (var i = 0; i < 64; i++) K[i] = Math.floor(Math.abs(Math.sin(i + 1)) * 4294967296) >>> 0;

  function md5Hex(bytes) {
    var n = bytes.length;
    var padded = new Uint8Array(((n + 8) >> 6) * 64 + 64);
    padded.set(bytes);
    padded[n] = 0x80;
    var bits = n * 8;
    var end = padded.length;
    padded[end - 8] = bits & 0xff;
    padded[end - 7] = (bits >>> 8) & 0xff;
    padded[end - 6] = (bits >>> 16) & 0xff;
    padded[end - 5] = (bits >>> 24) & 0xff;
    var high = Math.floor(n / 536870912);  // bits above 2^32
    padded[end - 4] = high & 0xff;
    padded[end - 3] = (high >>> 8) & 0xff;

    var a0 = 0x67452301, b0 = 0xefcdab89, c0 = 0x98badcfe, d0 = 0x10325476;
    var M = new Array(16);
    for (var off = 0; off < end; off += 64) {
      for (var j = 0; j < 16; j++) {
        var p = off + 4 * j;
        M[j] = padded[p] | (padded[p + 1] << 8) | (padded[p + 2] << 16) | (padded[p + 3] << 24);
      }
      var a = a0, b = b0, c = c0, d = d0;
      for (var k = 0; k < 64; k++) {
        var f, g;
        if (k < 16) { f = (b & c) | (~b & d); g = k; }
        else if (k < 32) { f = (d & b) | (~d & c); g = (5 * k + 1) % 16; }
        else if (k < 48) { f = b ^ c ^ d; g = (3 * k + 5) % 16; }
        else { f = c ^ (b | ~d); g = (7 * k) % 16; }
        var t = d;
        d = c;
        c = b;
        var x = (a + f + K[k] + M[g]) | 0;
        b = (b + ((x << S[k]) | (x >>> (32 - S[k])))) | 0;
        a = t;
      }
      a0 = (a0 + a) | 0; b0 = (b0 + b) | 0; c0 = (c0 + c) | 0; d0 = (d0 + d) | 0;
    }
    var out = "";
    [a0, b0, c0, d0].forEach(function (w) {
      for (var q = 0; q < 4; q++) out += ((w >>> (8 * q)) & 0xff).toString(16).padStart(2, "0");
    });
    return out;
  }

  function utf8(text) {
    return new TextEncoder().encode(text);
  }

  window.loginResponse = function (account, password, challenge) {
    return md5Hex(utf8(account + password + challenge));
  };

  // A new session starts with nothing put away by the one before (the
  // factory-password notice hidden in this tab).
  try { window.sessionStorage.removeItem("default-passwords-hidden"); } catch (e) { /* nothing kept */ }

  var credentials = document.getElementById("credentials");
  if (!credentials) return;
  credentials.addEventListener("submit", function (event) {
    event.preventDefault();
    var account = document.getElementById("account").value;
    var password = document.getElementById("password").value;
    var challenge = document.getElementById("challenge").value;
    document.getElementById("Username").value = account;
    document.getElementById("Response").value = window.loginResponse(account, password, challenge);
    document.getElementById("login").submit();
  });
})();
