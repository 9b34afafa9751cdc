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

// Dictionaries, sets, bags and indexes
PENDING_N(opBAG, "#BAG")
PENDING_M(opBAG, "#BAG")
PENDING_N(opDICT, "#DICT")
PENDING_M(opDICT, "#DICT")
PENDING_N(opIDX, "#IDX")
PENDING_M(opIDX, "#IDX")
PENDING_N(opSET, "#SET")
PENDING_M(opSET, "#SET")

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

// Marks, ordering, sets, rotation, nesting and structure
PENDING_D(op233C3E, "#<>")
PENDING_D(op234060, "#@`")
PENDING_D(op252525, "%%%")
PENDING_M(op255C25, "%\\%")
PENDING_D(op255C25, "%\\%")
PENDING_D(op2626, "&&")
PENDING_M(op2A3C, "*<")
PENDING_D(op2A3C, "*<")
PENDING_D(op2A3C3D, "*<=")
PENDING_M(op2A3E, "*>")
PENDING_D(op2A3E, "*>")
PENDING_D(op2A3E3D, "*>=")
PENDING_M(op2A3C3E, "*<>")
PENDING_D(op2A3C3E, "*<>")
PENDING_D(op2A3D, "*=")
PENDING_D(op2A7E3D, "*~=")
PENDING_D(op2A7C, "*|")
PENDING_M(op2C7C, ",|")
PENDING_D(op2C7C, ",|")
PENDING_M(op2F23, "/#")
PENDING_M(op3C2A2A, "<**")
PENDING_D(op3C2A2A, "<**")
PENDING_M(op3C253C, "<%<")
PENDING_D(op3C253C, "<%<")
PENDING_M(op3C2D3C, "<-<")
PENDING_D(op3C2D3C, "<-<")
PENDING_D(op3E2A2A, ">**")
PENDING_M(op3E253E, ">%>")
PENDING_D(op3E253E, ">%>")
PENDING_M(op3E2D3E, ">->")
PENDING_D(op3E2D3E, ">->")
PENDING_M(op3F26, "?&")
PENDING_M(op3F7E26, "?~&")
PENDING_D(op60607C, "``|")
PENDING_D(op607C, "`|")
