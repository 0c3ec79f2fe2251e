// Shared fixture of the device page tests: a scratch installation, a UPS
// record whose every reading names its own index (reading i is 10 i + 1,
// so tenths(i) prints "i.1"), a page captured in memory, a recording UPS
// command entry, and forms posted with a valid form token.
#pragma once
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "core/crypt.h"
#include "core/msg.h"
#include "events/evtdef.h"
#include "support/scratch.h"
#include "ups/com.h"
#include "ups/upsdata.h"
#include "web/httpd.h"
#include "web/webdev.h"
#include "web/websess.h"

namespace devtest {

// One UPS command as the driver would receive it, arguments as texts.
struct Command {
  uint64_t code;
  std::vector<std::string> args;
  bool operator==(const Command&) const = default;
};
inline std::ostream& operator<<(std::ostream& os, const Command& c) {
  os << "{bit " << __builtin_ctzll(c.code);
  for (const std::string& a : c.args) os << ", " << a;
  return os << "}";
}
inline std::vector<Command> g_sent;

// Reads each command's arguments the way the protocol drivers do.
inline void RecordCommand(uint64_t code, ...) {
  va_list ap;
  va_start(ap, code);
  Command c{code, {}};
  if (code == UPS_CMD_BRD) {
    for (int i = 0; i < 2; ++i) {
      const char* t = va_arg(ap, const char*);
      c.args.push_back(t ? t : "(null)");
    }
  } else if (code == UPS_CMD_SDC) {
    const uint16_t* w = va_arg(ap, const uint16_t*);
    for (int i = 0; i < 6; ++i) {
      char hex[8];
      snprintf(hex, sizeof hex, "%04X", w[i]);
      c.args.push_back(hex);
    }
  } else {
    int n = (code == UPS_CMD_TXV || code == UPS_CMD_BTV || code == UPS_CMD_ROF || code == UPS_CMD_RON) ? 2 : 1;
    for (int i = 0; i < n; ++i) c.args.push_back(std::to_string(va_arg(ap, int)));
  }
  va_end(ap);
  g_sent.push_back(c);
}

inline Command Cmd(uint64_t code, std::vector<std::string> args) { return {code, std::move(args)}; }

// Texts kept for the event table while a test runs.
inline std::vector<std::unique_ptr<std::string>> g_texts;

// The refusals of a number outside its range and of a text too long, for
// the field the page labels label.
inline std::string BadNumber(const std::string& label, long long lo, long long hi) {
  return "Message: Title=Incorrect Value\nBody=<font color=#808000>" + label + ": enter a number from " +
         std::to_string(lo) + " to " + std::to_string(hi) + ". Nothing was changed.</font>\n";
}
inline std::string TooLong(const std::string& label, size_t chars) {
  return "Message: Title=Incorrect Value\nBody=<font color=#808000>" + label + ": enter at most " +
         std::to_string(chars) + " characters. Nothing was changed.</font>\n";
}

class DevTest : public ScratchTest {
 protected:
  void SetUp() override {
    ScratchTest::SetUp();
    Crypt_Init();
    Msg_Init();
    Msg_ResetForTest();
    WebSess_Init();
    HttpdOps.ParseForm = Httpd_ParseForm;
    ComOps.SendCommand = RecordCommand;
    ComSlot.link[0] = COM_LINK_TILDE;  // commands reach a linked UPS
    g_sent.clear();
    memset(&UpsRecord, 0, sizeof UpsRecord);
    for (int i = 0; i < UPS_VALUE_COUNT; ++i) UpsRecord.values[i] = 10 * i + 1;
    memset(&EvtUpsEvents, 0, sizeof EvtUpsEvents);
    memset(&WebReply, 0, sizeof WebReply);
    WebReply.clientFamily = 2;
    WebReply.clientAddress[0] = 127;
    WebReply.clientAddress[3] = 1;
    // The forms are posted by an administrator's session unless a test
    // says otherwise (SetLevel).
    SetLevel(0);
  }
  // The request's session: a new one of this level, as the server's gate
  // leaves it (level -1: no session).
  static void SetLevel(int level) {
    WebSess_ClearCurrent();
    if (level >= 0) WebSess_Create(level);
    WebLoginLevel = level;
  }
  void TearDown() override {
    memset(&EvtUpsEvents, 0, sizeof EvtUpsEvents);
    g_texts.clear();
    ComOps.SendCommand = nullptr;
    ComSlot.link[0] = COM_LINK_NONE;
    ScratchTest::TearDown();
  }

  static void SetEventText(int entry, const std::string& text) {
    g_texts.push_back(std::make_unique<std::string>(text));
    EvtUpsEvents.text[entry] = g_texts.back()->data();
  }

  // The page text one variable writes.
  static std::string Var(const std::string& name) {
    char* data = nullptr;
    size_t size = 0;
    FILE* page = open_memstream(&data, &size);
    WebDev_WriteVar(page, name.c_str(), 0, nullptr);
    fclose(page);
    std::string out(data, size);
    free(data);
    return out;
  }

  // A form token of the request's session, as its page gives it.
  static std::string Token() {
    const char* t = WebSess_MakeToken();
    return t ? t : "";
  }

  // Posts a urlencoded body to the form (through the device handler, or the
  // given one); the reply text left.
  std::string PostRaw(const std::string& form, const std::string& body,
                      void (*handler)(HttpConn*) = WebDev_HandleForm) {
    conn_ = std::make_unique<HttpConn>();
    formName_ = form;
    body_.assign(body.begin(), body.end());
    body_.push_back(0);
    conn_->uri = formName_.data();
    conn_->body = body_.data();
    conn_->bodyCount = static_cast<int>(body.size());
    conn_->boundary = nullptr;
    WebReply.text[0] = 0;
    WebReply.length = 0;
    WebReply.written = 0;
    handler(conn_.get());
    EXPECT_EQ(WebReply.written, 1);
    EXPECT_EQ(WebReply.length, WebReply.text[0] ? strlen(WebReply.text) + 1 : 0u);
    return WebReply.text;
  }
  // The same with a valid form token added at the end.
  std::string Post(const std::string& form, const std::string& fields,
                   void (*handler)(HttpConn*) = WebDev_HandleForm) {
    std::string body = fields.empty() ? "" : fields + "&";
    return PostRaw(form, body + "SYS_UCTOKEN=" + Token(), handler);
  }

  std::unique_ptr<HttpConn> conn_;
  std::string formName_;
  std::vector<char> body_;
};

}  // namespace devtest
