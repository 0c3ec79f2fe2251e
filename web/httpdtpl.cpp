// Templates, MIME types and form parsing: the expansion of "<% name %>"
// tags into a temporary page, the query-word substitution inside tags, the
// MIME table, and the parser that turns a posted body into form fields.
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/util.h"
#include "web/httpd.h"
#include "web/websys.h"

WebFormField WebFormFields[WEB_FORM_FIELDS];
int WebFormFieldCount;

#define MIME_ROW(ext, type) {ext, sizeof(ext) - 1, type, sizeof(type) - 1, 1}
const HttpMimeRow HttpMimeTable[41] = {
    MIME_ROW(".asp", "text/html"),
    MIME_ROW(".xml", "text/xml"),
    MIME_ROW(".pro", "text/xml"),
    MIME_ROW(".html", "text/html"),
    MIME_ROW(".htm", "text/html"),
    MIME_ROW(".shtm", "text/html"),
    MIME_ROW(".shtml", "text/html"),
    MIME_ROW(".css", "text/css"),
    MIME_ROW(".js", "application/x-javascript"),
    MIME_ROW(".ico", "image/x-icon"),
    MIME_ROW(".gif", "image/gif"),
    MIME_ROW(".jpg", "image/jpeg"),
    MIME_ROW(".jpeg", "image/jpeg"),
    MIME_ROW(".png", "image/png"),
    MIME_ROW(".svg", "image/svg+xml"),
    MIME_ROW(".torrent", "application/x-bittorrent"),
    MIME_ROW(".wav", "audio/x-wav"),
    MIME_ROW(".mp3", "audio/x-mp3"),
    MIME_ROW(".mid", "audio/mid"),
    MIME_ROW(".m3u", "audio/x-mpegurl"),
    MIME_ROW(".ram", "audio/x-pn-realaudio"),
    MIME_ROW(".ra", "audio/x-pn-realaudio"),
    MIME_ROW(".doc", "application/msword"),
    MIME_ROW(".exe", "application/octet-stream"),
    MIME_ROW(".zip", "application/x-zip-compressed"),
    MIME_ROW(".xls", "application/excel"),
    MIME_ROW(".tgz", "application/x-tar-gz"),
    MIME_ROW(".tar", "application/x-tar"),
    MIME_ROW(".gz", "application/x-gunzip"),
    MIME_ROW(".arj", "application/x-arj-compressed"),
    MIME_ROW(".rar", "application/x-arj-compressed"),
    MIME_ROW(".rtf", "application/rtf"),
    MIME_ROW(".pdf", "application/pdf"),
    MIME_ROW(".swf", "application/x-shockwave-flash"),
    MIME_ROW(".mpg", "video/mpeg"),
    MIME_ROW(".mpeg", "video/mpeg"),
    MIME_ROW(".asf", "video/x-ms-asf"),
    MIME_ROW(".avi", "video/x-msvideo"),
    MIME_ROW(".bmp", "image/bmp"),
    MIME_ROW(".txt", "text/plain"),
    MIME_ROW(".mib", "text/plain"),
};
#undef MIME_ROW

const HttpMimeRow* Httpd_FindMime(const char* path) {
  int n = static_cast<int>(strlen(path));
  for (const HttpMimeRow& row : HttpMimeTable)
    if (row.extensionLength < n && UF_StrCaseCmp(path + n - row.extensionLength, row.extension) == 0) return &row;
  return &HttpMimeTable[40];
}

namespace {

// The tags a page's query may fill in place of their writers, per page (its
// path under the document root): only those that the pages are linked with.
// A query can never set any other tag (one in a script, an event handler
// or a URL, a list of markup); every query pair still reaches the writers,
// which read what they know and escape what they write.
const struct {
  const char* page;
  const char* names[3];
} kQueryTags[] = {
    {"/en/hist_data.asp", {"DATA_SELBY", "DATA_FROM", "DATA_TO"}},
};

// The query pairs of the template's page that may fill tags.
int QueryTagPairs(const char* templatePath, const HttpQueryPair* pairs, int count, HttpQueryPair* out) {
  char root[HTTPD_PATH_SIZE + 16];
  snprintf(root, sizeof root, "%s/httpd/htdocs", Httpd_InstallDir());
  const size_t n = strlen(root);
  if (strncmp(templatePath, root, n) != 0) return 0;
  const char* page = templatePath + n;
  int kept = 0;
  for (const auto& q : kQueryTags) {
    if (strcmp(page, q.page) != 0) continue;
    for (int i = 0; i < count; ++i)
      for (const char* name : q.names)
        if (name && strcmp(pairs[i].name, name) == 0) out[kept++] = pairs[i];
  }
  return kept;
}

// Query values are the client's text: written escaped, they cannot become markup.
void WriteEscaped(FILE* page, const char* text) {
  for (const char* p = text; *p; ++p) {
    switch (*p) {
      case '<': fputs("&lt;", page); break;
      case '>': fputs("&gt;", page); break;
      case '&': fputs("&amp;", page); break;
      case '"': fputs("&quot;", page); break;
      case '\'': fputs("&#39;", page); break;
      default: fputc(*p, page); break;
    }
  }
}

void WriteReplyText(FILE* page, const char* text) {
  snprintf(WebReply.text, sizeof WebReply.text, "%s", text);
  WebReply.length = static_cast<uint16_t>(strlen(WebReply.text) + 1);
  WebReply.written = 1;
  fputs(WebReply.text, page);
}

// The whole template, terminated; null when it is no readable regular file.
char* LoadTemplate(const char* path, size_t* size) {
  int fd = open(Httpd_FixPath(path), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st;
  char* text = nullptr;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    size_t want = static_cast<size_t>(st.st_size);
    text = static_cast<char*>(malloc(want + 1));
    size_t got = 0;
    while (text && got < want) {
      ssize_t r = read(fd, text + got, want - got);
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
    if (text) {
      text[got] = 0;
      *size = got;
    }
  }
  close(fd);
  return text;
}

}  // namespace

char* Httpd_ExpandTemplate(const char* templatePath, size_t* pageSize, int messagePage, char* query) {
  size_t size = 0;
  char* text = LoadTemplate(templatePath, &size);
  if (!text) return nullptr;
  // The page is made in memory: it needs no disk space and no directory,
  // and nothing of it is left anywhere once it is sent.
  char* out = nullptr;
  size_t outSize = 0;
  FILE* page = open_memstream(&out, &outSize);
  if (!page) {
    free(text);
    return nullptr;
  }

  HttpQueryPair pairs[HTTPD_QUERY_PAIRS];
  int count = 0;
  if (query) {
    char* words[HTTPD_QUERY_PAIRS];
    int nw = Httpd_Split(query, "&", HTTPD_QUERY_PAIRS, words);
    for (int i = 0; i < nw; ++i) {
      char* t[2];
      if (Httpd_Split(words[i], "=", 2, t) == 2) pairs[count++] = {t[0], t[1]};
    }
  }

  HttpQueryPair tagPairs[HTTPD_QUERY_PAIRS];
  const int tagCount = QueryTagPairs(templatePath, pairs, count, tagPairs);

  const char* p = text;
  const char* end = text + size;
  while (p < end) {
    const char* tag = static_cast<const char*>(memmem(p, static_cast<size_t>(end - p), "<% ", 3));
    if (!tag) {
      fwrite(p, 1, static_cast<size_t>(end - p), page);
      break;
    }
    fwrite(p, 1, static_cast<size_t>(tag - p), page);
    const char* expr = tag + 3;
    const char* close = static_cast<const char*>(memmem(expr, static_cast<size_t>(end - expr), " %>", 3));
    if (!close) {
      fwrite(tag, 1, 3, page);
      p = expr;
      continue;
    }
    p = close + 3;
    size_t length = static_cast<size_t>(close - expr);
    if (length > HTTPD_EXPR_SIZE) {
      fwrite(tag, 1, static_cast<size_t>(p - tag), page);
      continue;
    }
    char name[HTTPD_EXPR_SIZE + 1];
    memcpy(name, expr, length);
    name[length] = 0;
    char substituted[HTTPD_EXPR_SIZE];
    const char* use = name;
    if (tagCount > 0 && Httpd_SubstArgs(name, HTTPD_EXPR_SIZE, substituted, tagCount, tagPairs) > 0)
      use = substituted;
    // The message page's texts are the server's own: its button script is
    // run by the browser, so no query value may stand in for them.
    const char* message = nullptr;
    if (messagePage && strcmp(use, "ERR_TITLE") == 0) message = WebErrTitle;
    if (messagePage && strcmp(use, "ERR_MSG") == 0) message = WebErrMsg;
    if (messagePage && strcmp(use, "ERR_PATH") == 0) message = WebErrPath;
    const HttpQueryPair* pair = nullptr;
    for (int i = 0; i < tagCount && !pair && !message; ++i)
      if (strcmp(use, tagPairs[i].name) == 0) pair = &tagPairs[i];
    if (message == WebErrPath) {
      // The button script stands in an attribute of the message page.
      char escaped[sizeof WebErrPath * 6];
      WebSys_HtmlEscape(escaped, sizeof escaped, message);
      WriteReplyText(page, escaped);
    } else if (message) {
      WriteReplyText(page, message);
    } else if (pair) {
      WriteEscaped(page, pair->value);
    } else {
      WebSys_WriteVar(page, use, count, pairs);
    }
  }
  free(text);
  bool ok = !ferror(page);
  if (fclose(page) != 0) ok = false;
  if (!ok) {
    // A page cut short (no memory for the rest) is not sent.
    free(out);
    return nullptr;
  }
  *pageSize = outSize;
  return out;
}

int Httpd_SubstArgs(const char* expression, int bound, char* output, int count, const HttpQueryPair* pairs) {
  int left = bound, w = 0, replaced = 0;
  const char* s = expression;
  for (;;) {
    const char* hash = strchr(s, '#');
    int length = static_cast<int>(hash ? hash - s : strlen(s));
    if (length > 0) {
      if (length >= left) return 0;
      const HttpQueryPair* pair = nullptr;
      if (hash && s[length - 1] != ' ') {
        for (int i = 0; i < count && !pair; ++i)
          if (static_cast<int>(strlen(pairs[i].name)) == length && memcmp(pairs[i].name, s, length) == 0)
            pair = &pairs[i];
      }
      const char* piece = s;
      if (pair) {
        piece = pair->value;
        length = static_cast<int>(strlen(pair->value));
        if (length >= left) return 0;
        ++replaced;
      }
      memcpy(output + w, piece, static_cast<size_t>(length));
      w += length;
      left -= length;
    }
    if (!hash) break;
    s = hash + 1;
  }
  output[w] = 0;
  return replaced ? w : 0;
}

int Httpd_Split(char* text, const char* delimiters, int n, char** tokens) {
  if (!text || !delimiters || !tokens || n < 1) return 0;
  if (!*delimiters) {
    tokens[0] = text;
    return 1;
  }
  int count = 0;
  char* p = text;
  while (*p) {
    while (*p && strchr(delimiters, *p)) *p++ = 0;
    if (!*p) break;
    tokens[count++] = p;
    if (count == n) break;
    while (*p && !strchr(delimiters, *p)) ++p;
    if (*p) *p++ = 0;
  }
  return count;
}

int Httpd_UrlDecodeCopy(const char* source, char* destination) {
  static const char kDigits[] = "0123456789ABCDEF";
  int w = 0;
  for (const char* p = source; *p;) {
    const char* hi;
    const char* lo;
    if (p[0] == '%' && p[1] && p[2] && (hi = strchr(kDigits, p[1])) && (lo = strchr(kDigits, p[2]))) {
      destination[w++] = static_cast<char>((hi - kDigits) << 4 | (lo - kDigits));
      p += 3;
    } else {
      destination[w++] = *p++;
    }
  }
  destination[w] = 0;
  return w;
}

namespace {

void ParseUrlEncoded(char* body) {
  char* p = body;
  while (*p && WebFormFieldCount < WEB_FORM_FIELDS) {
    char* name = p;
    char* eq = strchr(p, '=');
    if (!eq) break;
    *eq = 0;
    char* value = eq + 1;
    char* next = nullptr;  // null: this was the last value
    if (char* amp = strchr(value, '&')) {
      *amp = 0;
      next = amp + 1;
      // A line break after the separator is skipped, as far as it is there.
      if (*next == '\r') ++next;
      if (*next == '\n') ++next;
    } else if (char* cr = strchr(value, '\r')) {
      *cr = 0;
    }
    for (char* q = value; *q; ++q)
      if (*q == '+') *q = ' ';
    size_t length = strlen(value);
    if (length < 2048) {
      char copy[2048];
      memcpy(copy, value, length + 1);
      Httpd_UrlDecodeCopy(copy, value);
    }
    WebFormFields[WebFormFieldCount++] = {name, nullptr, value, nullptr};
    // The last value is decoded once and ends the body: a decoded '=' in it
    // stays part of the value.
    if (!next) break;
    p = next;
  }
}

char* Find(char* from, const char* end, const char* pattern, size_t length) {
  if (from >= end) return nullptr;
  return static_cast<char*>(memmem(from, static_cast<size_t>(end - from), pattern, length));
}

void ParseMultipart(char* body, int length, const char* boundary) {
  char* end = body + length;
  char* p = body;
  // "\r\n--" and the boundary, cut to 2045 characters.
  char delim[2 + 2048] = "\r\n--";
  size_t blen;
  if (boundary) {
    const char* eq = strchr(boundary, '=');
    if (!eq) return;
    blen = strcspn(eq + 1, "\r\n");
    if (blen > 2045) blen = 2045;
    memcpy(delim + 4, eq + 1, blen);
  } else {
    char* eq = static_cast<char*>(memchr(body, '=', static_cast<size_t>(length)));
    if (!eq || eq - (body + 5) != 9 || memcmp(body + 5, " Boundary", 9) != 0) return;
    char* b = eq + 1;
    char* nl = Find(b, end, "\n", 1);
    if (!nl) return;
    blen = static_cast<size_t>(nl - b);
    if (blen > 0 && b[blen - 1] == '\r') --blen;
    if (blen > 2045) blen = 2045;
    memcpy(delim + 4, b, blen);
    p = nl + 1;
  }
  if (blen == 0) return;  // an empty boundary delimits nothing
  size_t dlen = 4 + blen;
  delim[dlen] = 0;
  const char* bare = delim + 2;  // "--" and the boundary
  size_t bareLen = dlen - 2;

  char* d = Find(p, end, bare, bareLen);
  while (d && WebFormFieldCount < WEB_FORM_FIELDS) {
    char* a = d + bareLen;
    if (end - a >= 2 && a[0] == '-' && a[1] == '-') break;
    char* crlf = Find(a, end, "\r\n", 2);
    if (!crlf) break;
    char* h = crlf + 2;
    if (end - h < 19 || memcmp(h, "Content-Disposition", 19) != 0) break;
    char* lineEnd = Find(h, end, "\r\n", 2);
    if (!lineEnd) break;
    *lineEnd = 0;
    char* blank = Find(lineEnd + 1, end, "\n\r\n", 3);
    if (!blank) break;
    char* value = blank + 3;
    // The value ends at the line break before the next delimiter.
    char* next = Find(value, end, delim, dlen);
    if (!next) break;  // no closing delimiter: the part is not stored
    *next = 0;
    WebFormField field{nullptr, nullptr, value, next - 1};
    // Attributes of the Content-Disposition line.
    char* s = h + 19;
    for (;;) {
      char* eq = strchr(s, '=');
      if (!eq) break;
      char* v = eq + 1;
      while (*v == ' ') ++v;
      char* after = nullptr;
      if (*v == '"') {
        ++v;
        char* quote = strchr(v, '"');
        if (!quote) break;
        *quote = 0;
        after = quote + 1;
      } else if (char* semi = strchr(v, ';')) {
        *semi = 0;
        after = semi + 1;
      }
      if (eq - h >= 8 && memcmp(eq - 8, "filename", 8) == 0)
        field.fileName = v;
      else if (eq - h >= 4 && memcmp(eq - 4, "name", 4) == 0)
        field.name = v;
      else
        break;
      if (!after) break;
      s = after;
    }
    WebFormFields[WebFormFieldCount++] = field;
    d = next + 2;
  }
}

}  // namespace

void Httpd_ParseForm(char* body, int length, const char* boundary) {
  WebFormFieldCount = 0;
  if (!body || length <= 0) return;
  if (boundary || (length >= 5 && memcmp(body, "MIME:", 5) == 0))
    ParseMultipart(body, length, boundary);
  else
    ParseUrlEncoded(body);
}
