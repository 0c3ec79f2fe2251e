// OID registry: parsing, ordering, lookup and get-next.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "snmp/snmpoid.h"

using Oid = std::vector<uint32_t>;

static Oid Parse(const char* text) {
  uint32_t out[SNMP_OID_NODE_MAX];
  int n = SnmpOid_Parse(text, out);
  return Oid(out, out + n);
}

static std::vector<std::string> ListTexts() {
  std::vector<std::string> v;
  for (const OidNode* n = SnmpOid_Head(); n; n = n->next) {
    std::string s;
    for (unsigned i = 0; i < n->count; i++) s += (i ? "." : "") + std::to_string(n->subids[i]);
    v.push_back(s);
  }
  return v;
}

class SnmpOidTest : public ::testing::Test {
 protected:
  void TearDown() override { SnmpOid_ResetForTest(); }
};

TEST_F(SnmpOidTest, ParseFollowsTheTextRules) {
  struct Row {
    const char* text;
    Oid expected;
  } rows[] = {
      {"1.3.6.1.2.1.1.5.0", {1, 3, 6, 1, 2, 1, 1, 5, 0}},
      {"5", {}},                      // a lone number is not an OID
      {"", {}},
      {"1.3.6.", {1, 3, 6, 0}},       // final '.' adds a 0
      {" 1. 3.x7", {1, 3, 0}},        // blanks allowed, no digits gives 0
      {"1.-1", {1, 4294967295u}},
      {"1.4294967295", {1, 4294967295u}},
      {"1.2.3.4.5.6.7.8.9.10.11.12.13.14.15.16.17.18.19.20.21",
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(Parse(row.text), row.expected);
  }
}

TEST_F(SnmpOidTest, ListStaysInAscendingUnsignedOrder) {
  // Registered shuffled; the list must come out sorted, prefixes first.
  const char* texts[] = {
      "1.3.6.1.4.1.32473.2.210.2.10.0", "1.3.6.1.2.1.1.1.0", "1.3.6.1.3",
      "1.3.6.1.4.1.32473.2.210.2.9.0",  "1.3.6.1.2.0",       "1.3.6.1.2",
      "1.3.6.1.4.1.32473.2.210.2.11.0", "1.3.6.1.2.4294967295", "1.3.6.1.2.1.1.7.0",
      "1.3.6.1.4.1.32473.2.210.1.1.0",
  };
  for (unsigned i = 0; i < std::size(texts); i++) ASSERT_EQ(SnmpOid_Register(texts[i], i + 1), 1);
  EXPECT_EQ(ListTexts(), (std::vector<std::string>{
                             "1.3.6.1.2",
                             "1.3.6.1.2.0",
                             "1.3.6.1.2.1.1.1.0",
                             "1.3.6.1.2.1.1.7.0",
                             "1.3.6.1.2.4294967295",
                             "1.3.6.1.3",
                             "1.3.6.1.4.1.32473.2.210.1.1.0",
                             "1.3.6.1.4.1.32473.2.210.2.9.0",
                             "1.3.6.1.4.1.32473.2.210.2.10.0",
                             "1.3.6.1.4.1.32473.2.210.2.11.0",
                         }));
  // Back links mirror the forward order.
  const OidNode* last = SnmpOid_Head();
  EXPECT_EQ(last->prev, nullptr);
  while (last->next) {
    EXPECT_EQ(last->next->prev, last);
    last = last->next;
  }
}

TEST_F(SnmpOidTest, LookupAndGetNext) {
  ASSERT_EQ(SnmpOid_Register("1.3.6.1.4.1.32473.2.210.1.1.0", 1), 1);
  ASSERT_EQ(SnmpOid_Register("1.3.6.1.2.1.1.1.0", 19), 1);
  ASSERT_EQ(SnmpOid_Register("1.3.6.1.2.1.1.3.0", 21), 1);
  struct Row {
    const char* key;  // "" = empty key
    int32_t lookup;
    int32_t next;
    const char* nextOid;
  } rows[] = {
      {"1.3.6.1", -1, 19, "1.3.6.1.2.1.1.1.0"},
      {"1.3.6.1.2.1.1", -1, 19, "1.3.6.1.2.1.1.1.0"},          // proper prefix
      {"1.3.6.1.2.1.1.1.0", 19, 21, "1.3.6.1.2.1.1.3.0"},
      {"1.3.6.1.2.1.1.1.0.5", -1, 21, "1.3.6.1.2.1.1.3.0"},    // longer than a registered OID
      {"1.3.6.1.2.1.1.2.4294967295", -1, 21, "1.3.6.1.2.1.1.3.0"},
      {"1.3.6.1.2.1.1.3.0", 21, 1, "1.3.6.1.4.1.32473.2.210.1.1.0"},
      {"1.3.6.1.4.1.32473.2.210.1.1.0", 1, -1, ""},             // the last one
      {"1.4", -1, -1, ""},
      {"", -1, 19, "1.3.6.1.2.1.1.1.0"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.key);
    Oid key = Parse(row.key);
    EXPECT_EQ(SnmpOid_Lookup(key.data(), static_cast<uint8_t>(key.size())), row.lookup);
    uint32_t out[SNMP_OID_NODE_MAX];
    uint8_t count = 0;
    EXPECT_EQ(SnmpOid_GetNext(key.data(), static_cast<uint8_t>(key.size()), out, &count), row.next);
    if (row.next >= 0) {
      EXPECT_EQ(Oid(out, out + count), Parse(row.nextOid));
    }
  }
  // A 128-arc key (the most a request carries) never matches and still orders.
  Oid longKey = Parse("1.3.6.1.2.1.1.1.0");
  longKey.resize(128, 7);
  EXPECT_EQ(SnmpOid_Lookup(longKey.data(), 128), -1);
  uint32_t out[SNMP_OID_NODE_MAX];
  uint8_t count;
  EXPECT_EQ(SnmpOid_GetNext(longKey.data(), 128, out, &count), 21);
}

TEST_F(SnmpOidTest, RegisterTwiceKeepsTheFirstIdAndBadTextChangesNothing) {
  EXPECT_EQ(SnmpOid_Register("1.3.6.1.2.1.1.5.0", 23), 1);
  EXPECT_EQ(SnmpOid_Register("1.3.6.1.2.1.1.5.0", 99), 1);
  Oid k = Parse("1.3.6.1.2.1.1.5.0");
  EXPECT_EQ(SnmpOid_Lookup(k.data(), static_cast<uint8_t>(k.size())), 23);
  EXPECT_EQ(ListTexts().size(), 1u);
  EXPECT_EQ(SnmpOid_Register("5", 1), 0);
  EXPECT_EQ(SnmpOid_Unregister("5"), 0);
  EXPECT_EQ(SnmpOid_Unregister("1.3.6.1.2.1.1.6.0"), 0);
  EXPECT_EQ(ListTexts().size(), 1u);
}

TEST_F(SnmpOidTest, UnregisterRelinksTheList) {
  SnmpOid_Register("1.1", 1);
  SnmpOid_Register("1.2", 2);
  SnmpOid_Register("1.3", 3);
  EXPECT_EQ(SnmpOid_Unregister("1.2"), 1);  // middle
  EXPECT_EQ(ListTexts(), (std::vector<std::string>{"1.1", "1.3"}));
  EXPECT_EQ(SnmpOid_Head()->next->prev, SnmpOid_Head());
  EXPECT_EQ(SnmpOid_Unregister("1.1"), 1);  // head: successor becomes head
  ASSERT_NE(SnmpOid_Head(), nullptr);
  EXPECT_EQ(SnmpOid_Head()->prev, nullptr);
  EXPECT_EQ(ListTexts(), (std::vector<std::string>{"1.3"}));
  EXPECT_EQ(SnmpOid_Unregister("1.3"), 1);  // only node: list empties
  EXPECT_EQ(SnmpOid_Head(), nullptr);
  OidNode* at = reinterpret_cast<OidNode*>(1);
  Oid k = Parse("1.3");
  EXPECT_EQ(SnmpOid_Find(k.data(), 2, &at), 0);
  EXPECT_EQ(at, nullptr);
}
