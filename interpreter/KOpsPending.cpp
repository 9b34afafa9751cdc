// KOpsPending: forms the operator table lists whose implementation is not
// written yet. Each raises error 6 (Not Implemented) with the operator's
// symbol. One line per form, the forms of one operator together: when a
// family file implements a form, delete its line here.
#include "KOps.h"
#include "Kerror.h"

static const char* const kUnit = "Interpreter/KOps";

#define PENDING_N(name, sym) KA& KOps::name##_N(KA&) { KTHROW(KT::eNotImpl, sym); }
#define PENDING_M(name, sym) KA& KOps::name(KA&) { KTHROW(KT::eNotImpl, sym); }
#define PENDING_D(name, sym) KA& KOps::name(KA&, KA&) { KTHROW(KT::eNotImpl, sym); }

// Files and file contexts

// Record sets, regular expressions and the containment marks

// Images, representation, formats, collation tables and system objects
PENDING_N(opCSTARQ, "#CSTARQ")
PENDING_N(opCSExact, "#CSExact")
PENDING_N(opEX, "#EX")
PENDING_M(opEX, "#EX")
PENDING_M(opFMT, "#FMT")
PENDING_D(opFMT, "#FMT")
PENDING_N(opIX, "#IX")
PENDING_M(opIX, "#IX")
PENDING_N(opSNMP, "#SNMP")
PENDING_M(opSNMP, "#SNMP")
PENDING_N(opSOCK, "#SOCK")
PENDING_M(opSOCK, "#SOCK")
PENDING_N(opWIN, "#WIN")
PENDING_M(opWIN, "#WIN")
PENDING_M(op252D3E3E, "%->>")
PENDING_D(op253C, "%<")
PENDING_M(op253C3C2D, "%<<-")
PENDING_D(op253E, "%>")

// Streams: reading, seeking, searching, cutting and cleaning
