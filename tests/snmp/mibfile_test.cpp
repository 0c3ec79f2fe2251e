// The installed MIB module against the agent's object table and the two
// trap tables: every served private object and every trap number has its
// definition at the right OID, and each trap's description names exactly
// the status-bit changes that send it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "snmp/snmpmib.h"
#include "snmp/snmptrap.h"

namespace {

const std::string kMibPath =
    (std::filesystem::path(__FILE__).parent_path() / "../../install/mibs/BRISVANE-MIB.txt").string();

struct Definition {
  std::string macro;  // OBJECT IDENTIFIER, OBJECT-TYPE, ...
  std::string parent;
  uint32_t number = 0;
  std::string body;
};

struct Mib {
  std::map<std::string, Definition> defs;

  // Dotted OID of a name, resolved through its parents down to enterprises.
  std::string Oid(const std::string& name) const {
    if (name == "enterprises") return "1.3.6.1.4.1";
    auto it = defs.find(name);
    if (it == defs.end()) return "?" + name;
    return Oid(it->second.parent) + "." + std::to_string(it->second.number);
  }

  // name -> OID of every definition made with this macro.
  std::map<std::string, std::string> With(const std::string& macro) const {
    std::map<std::string, std::string> out;
    for (const auto& [name, d] : defs)
      if (d.macro == macro) out[name] = Oid(name);
    return out;
  }
};

// Definitions start at the beginning of a line with their descriptor and
// macro, and end with the line that assigns their OID.
Mib ReadMib() {
  static const std::regex head(
      R"(^([a-z][A-Za-z0-9]*)\s+(OBJECT IDENTIFIER|OBJECT-IDENTITY|OBJECT-TYPE|NOTIFICATION-TYPE|)"
      R"(MODULE-IDENTITY|OBJECT-GROUP|NOTIFICATION-GROUP|MODULE-COMPLIANCE)\b)");
  static const std::regex assign(R"(::=\s*\{\s*([a-zA-Z][A-Za-z0-9]*)\s+(\d+)\s*\})");
  Mib mib;
  std::ifstream f(kMibPath);
  std::string line, name;
  Definition d;
  while (std::getline(f, line)) {
    line = line.substr(0, line.find("--"));  // comments run to the end of the line
    std::smatch m;
    if (name.empty() && std::regex_search(line, m, head)) {
      name = m[1];
      d = Definition{m[2], "", 0, ""};
    }
    if (name.empty()) continue;
    d.body += line + "\n";
    if (std::regex_search(line, m, assign)) {
      d.parent = m[1];
      d.number = static_cast<uint32_t>(std::stoul(m[2]));
      mib.defs[name] = d;
      name.clear();
    }
  }
  return mib;
}

// The status-bit changes a description names: 2i for "status bit i set",
// 2i + 1 for "status bit i cleared".
std::set<int> EventsNamed(const std::string& body) {
  static const std::regex bit(R"(status\s+bit\s+(\d+)\s+(set|cleared))");
  std::set<int> out;
  for (auto it = std::sregex_iterator(body.begin(), body.end(), bit); it != std::sregex_iterator(); ++it)
    out.insert(2 * std::stoi((*it)[1]) + ((*it)[2] == "cleared" ? 1 : 0));
  return out;
}

TEST(MibFile, DefinesEveryPrivateObjectOfTheAgentAndNoOther) {
  Mib mib = ReadMib();
  ASSERT_FALSE(mib.defs.empty()) << kMibPath;
  std::set<std::string> served;
  for (const auto& row : SnmpObjectTable) {
    std::string oid = row.oid;
    if (oid.rfind("1.3.6.1.4.1.", 0) != 0) continue;  // the system group is SNMPv2-MIB's
    ASSERT_EQ(oid.substr(oid.size() - 2), ".0") << oid;
    served.insert(oid.substr(0, oid.size() - 2));
  }
  EXPECT_EQ(served.size(), 18u);
  std::set<std::string> defined;
  for (const auto& [name, oid] : mib.With("OBJECT-TYPE")) {
    defined.insert(oid);
    const std::string& body = mib.defs[name].body;
    EXPECT_NE(body.find("MAX-ACCESS"), std::string::npos) << name;
    EXPECT_NE(body.find("DESCRIPTION"), std::string::npos) << name;
  }
  EXPECT_EQ(defined, served);
  // sysObjectID.0 names the agent's branch.
  EXPECT_EQ(mib.Oid("bvAgent"), "1.3.6.1.4.1.32473.2.210");
}

TEST(MibFile, NamesEveryTrapOfBothTablesInBothForms) {
  Mib mib = ReadMib();
  const auto identities = mib.With("OBJECT-IDENTITY");
  const auto notifications = mib.With("NOTIFICATION-TYPE");
  size_t traps = 0;
  for (uint8_t table : {0, 1}) {
    SCOPED_TRACE(table == 1 ? "UPSv5" : "UPSv4");
    const std::string events = std::string("1.3.6.1.4.1.32473.2.") + (table == 1 ? "5" : "4") + ".20";
    // Trap number -> the event indexes that send it.
    std::map<int32_t, std::set<int>> sent;
    for (int e = 0; e < TRAP_EVENTS; e++)
      if (int32_t n = SnmpTrap_Number(table == 1 ? 1 : 0, e)) sent[n].insert(e);
    traps += sent.size();
    // SNMPv2c/v3: snmpTrapOID.0 is events.N.0, named by an object identity
    // at events.N; SNMPv1: enterprise events, specific N, whose SMIv2
    // notification is events.0.N.
    std::map<int32_t, std::string> v2, v1;
    for (const auto& [name, oid] : identities)
      if (oid.rfind(events + ".", 0) == 0) v2[std::stoi(oid.substr(events.size() + 1))] = name;
    for (const auto& [name, oid] : notifications)
      if (oid.rfind(events + ".0.", 0) == 0) v1[std::stoi(oid.substr(events.size() + 3))] = name;
    ASSERT_EQ(v2.size(), sent.size());
    ASSERT_EQ(v1.size(), sent.size());
    for (const auto& [n, indexes] : sent) {
      SCOPED_TRACE("trap " + std::to_string(n));
      ASSERT_TRUE(v2.count(n));
      ASSERT_TRUE(v1.count(n));
      EXPECT_EQ(v1[n], v2[n] + "V1");
      EXPECT_EQ(EventsNamed(mib.defs[v2[n]].body), indexes);
      EXPECT_EQ(EventsNamed(mib.defs[v1[n]].body), indexes);
      EXPECT_TRUE(std::regex_search(mib.defs[v1[n]].body,
                                    std::regex("specific-trap\\s+" + std::to_string(n) + "\\b")));
    }
  }
  EXPECT_EQ(traps, 29u + 53u);
  EXPECT_EQ(notifications.size(), traps);
}

}  // namespace
