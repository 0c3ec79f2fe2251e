// OID registry: the object identifiers the agent serves, each mapped to a
// small object id chosen by the registering caller. A sorted, doubly linked
// list of heap nodes in ascending OID order (unsigned, a proper prefix
// first), filled once at start-up and searched for every varbind.
#pragma once
#include <cstdint>

constexpr int SNMP_OID_NODE_MAX = 20;  // sub-identifiers a registered OID may have

struct OidNode {
  uint32_t subids[SNMP_OID_NODE_MAX];
  uint8_t count;
  uint16_t objectId;
  OidNode* prev;
  OidNode* next;
};

// Dotted text into up to 20 sub-identifiers; the count, 0 when the text
// holds no '.' (a lone number is not an OID).
int SnmpOid_Parse(const char* text, uint32_t out[SNMP_OID_NODE_MAX]);
// 1 and *node = the node with exactly this OID; else 0 and *node = the node
// after which it belongs (null: at the head, or the list is empty).
int SnmpOid_Find(const uint32_t* subids, uint8_t count, OidNode** node);
// 1 (also when already registered: the first id stands), 0 for a non-OID text.
int SnmpOid_Register(const char* text, uint16_t objectId);
// 1 when removed, 0 when not an OID or not registered.
int SnmpOid_Unregister(const char* text);
// The object id of exactly this OID, or -1.
int32_t SnmpOid_Lookup(const uint32_t* subids, uint8_t count);
// The first registered OID greater than the given one: its id, with its
// sub-identifiers (up to 20) and count written to the outputs; -1 when none.
int32_t SnmpOid_GetNext(const uint32_t* subids, uint8_t count, uint32_t* outSubids,
                        uint8_t* outCount);

// The list head (read-only view for tests).
const OidNode* SnmpOid_Head();
// Frees every node (tests only; the daemon keeps its list for the whole run).
void SnmpOid_ResetForTest();
