// OID registry.
#include "snmp/snmpoid.h"

#include <cctype>

static OidNode* OidHead = nullptr;

// One component as atoi reads it (blanks, an optional sign, digits), kept in
// 32 bits without overflow.
static uint32_t ParseComponent(const char* p, const char* end) {
  while (p < end && isspace(static_cast<unsigned char>(*p))) p++;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  uint32_t v = 0;
  while (p < end && *p >= '0' && *p <= '9') v = v * 10 + static_cast<uint32_t>(*p++ - '0');
  return negative ? 0u - v : v;
}

int SnmpOid_Parse(const char* text, uint32_t out[SNMP_OID_NODE_MAX]) {
  int n = 0;
  const char* start = text;
  for (const char* p = text;; p++) {
    if (*p == '.' || *p == '\0') {
      if (*p == '\0' && n == 0) return 0;  // no '.' at all
      out[n++] = ParseComponent(start, p);
      if (*p == '\0' || n == SNMP_OID_NODE_MAX) return n;
      start = p + 1;
    }
  }
}

// <0: node before key, 0 equal, >0 node after key (key is smaller, or a
// proper prefix of the node).
static int Compare(const OidNode* node, const uint32_t* key, uint8_t count) {
  for (unsigned i = 0; i < count; i++) {
    if (i >= node->count || node->subids[i] < key[i]) return -1;
    if (key[i] < node->subids[i]) return 1;
  }
  return node->count == count ? 0 : 1;
}

int SnmpOid_Find(const uint32_t* subids, uint8_t count, OidNode** node) {
  OidNode* prev = nullptr;
  for (OidNode* n = OidHead; n; prev = n, n = n->next) {
    int c = Compare(n, subids, count);
    if (c == 0) {
      *node = n;
      return 1;
    }
    if (c > 0) break;
  }
  *node = prev;
  return 0;
}

int SnmpOid_Register(const char* text, uint16_t objectId) {
  uint32_t subids[SNMP_OID_NODE_MAX];
  int count = SnmpOid_Parse(text, subids);
  if (count == 0) return 0;
  OidNode* at;
  if (SnmpOid_Find(subids, static_cast<uint8_t>(count), &at)) return 1;
  OidNode* node = new OidNode{};
  for (int i = 0; i < count; i++) node->subids[i] = subids[i];
  node->count = static_cast<uint8_t>(count);
  node->objectId = objectId;
  if (at) {
    node->prev = at;
    node->next = at->next;
    if (at->next) at->next->prev = node;
    at->next = node;
  } else {
    node->next = OidHead;
    if (OidHead) OidHead->prev = node;
    OidHead = node;
  }
  return 1;
}

int SnmpOid_Unregister(const char* text) {
  uint32_t subids[SNMP_OID_NODE_MAX];
  int count = SnmpOid_Parse(text, subids);
  OidNode* node;
  if (count == 0 || !SnmpOid_Find(subids, static_cast<uint8_t>(count), &node)) return 0;
  if (node->prev) node->prev->next = node->next;
  else OidHead = node->next;
  if (node->next) node->next->prev = node->prev;
  delete node;
  return 1;
}

int32_t SnmpOid_Lookup(const uint32_t* subids, uint8_t count) {
  for (const OidNode* n = OidHead; n; n = n->next) {
    int c = Compare(n, subids, count);
    if (c == 0) return n->objectId;
    if (c > 0) return -1;
  }
  return -1;
}

int32_t SnmpOid_GetNext(const uint32_t* subids, uint8_t count, uint32_t* outSubids,
                        uint8_t* outCount) {
  const OidNode* n = OidHead;
  while (n && Compare(n, subids, count) < 0) n = n->next;
  if (n && Compare(n, subids, count) == 0) n = n->next;
  if (!n) return -1;
  for (unsigned i = 0; i < n->count; i++) outSubids[i] = n->subids[i];
  *outCount = n->count;
  return n->objectId;
}

const OidNode* SnmpOid_Head() { return OidHead; }

void SnmpOid_ResetForTest() {
  while (OidHead) {
    OidNode* next = OidHead->next;
    delete OidHead;
    OidHead = next;
  }
}
