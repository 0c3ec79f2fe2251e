// HTTP and HTTPS server: listeners, connections and TLS. The listener
// settings are keys of the [Web] section of config.ini.
#pragma once
#include <cstdint>

// Bits of HttpdSettings.listen.
enum HttpdListenFlag : uint8_t {
  HTTPD_LISTEN_HTTP = 1,   // "Enable HTTP="
  HTTPD_LISTEN_HTTPS = 2,  // "Enable HTTPS="
};

struct HttpdSettings {
  uint16_t httpPort;   // "HTTP Port="
  uint16_t httpsPort;  // "HTTPS Port="
  uint8_t listen;      // HttpdListenFlag bits
  uint16_t refresh;    // "Web Refresh=", seconds
  int32_t forceHttps;  // "Force HTTPS=": redirect plain requests for missing files to HTTPS
};
extern HttpdSettings HttpdSetting;
