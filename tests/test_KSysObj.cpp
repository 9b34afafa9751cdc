// Tests for the system objects (KSock, KSNMP, KWin, KSysOp): what scripts
// cannot see directly: copies are independent, ordering is a consistent
// total order, and clearing keeps the type.
#include <gtest/gtest.h>

#include <string>

#include "KArg.h"
#include "KNum.h"
#include "KString.h"
#include "KSysObj.h"
#include "Kerror.h"

TEST(KSysObjValue, CopiesKeepTypeArgumentAndKindAndStandApart) {
  KA hold;
  hold.Owns(new KSysOp(KSysOp::kindError, "on error"));
  KA copy;
  copy.Owns(hold.value->Clone());
  EXPECT_NE(copy.value->descriptor, hold.value->descriptor);
  EXPECT_EQ(copy.Type(), KT::tSysOp);
  EXPECT_TRUE(copy.value->EQ(hold.value));
  copy.value->Clear();
  EXPECT_EQ(copy.As<KSysObj>()->Arg(), "");
  EXPECT_EQ(copy.As<KSysObj>()->Kind(), KSysOp::kindError);
  EXPECT_EQ(hold.As<KSysObj>()->Arg(), "on error");
  EXPECT_EQ(copy.value->AsString(false), "SysOp[3]:");
  for (KB* v : {static_cast<KB*>(new KSock("a")), static_cast<KB*>(new KSNMP("b")), static_cast<KB*>(new KWin("c"))}) {
    KA h, c;
    h.Owns(v);
    c.Owns(v->Clone());
    EXPECT_EQ(c.Type(), h.Type());
    EXPECT_EQ(c.value->AsString(true), h.value->AsString(true));
    EXPECT_EQ(c.value->size(), 0);
  }
}

TEST(KSysObjValue, OrderIsByTypeThenArgumentThenKind) {
  KA a, b, w, ix, ex;
  a.Owns(new KSock("a"));
  b.Owns(new KSock("b"));
  w.Owns(new KWin("a"));
  ix.Owns(new KSysOp(KSysOp::kindInterrupt, "x"));
  ex.Owns(new KSysOp(KSysOp::kindError, "x"));
  EXPECT_TRUE(b.value->GT(a.value, 0, 1, false));
  EXPECT_FALSE(a.value->GT(b.value, 1, 0, false));
  EXPECT_TRUE(w.value->GT(a.value, 0, 1, false));   // type 32 after 28
  EXPECT_FALSE(a.value->GT(w.value, 1, 0, false));
  EXPECT_TRUE(ix.value->GT(ex.value, 0, 1, false)); // kind 4 after 3
  EXPECT_FALSE(ex.value->EQ(ix.value));
  // Equal objects fall back to their positions, as a stable grade needs.
  KA a2;
  a2.Owns(new KSock("a"));
  EXPECT_TRUE(a.value->GT(a2.value, 0, 1, false));
  EXPECT_FALSE(a.value->GT(a2.value, 1, 0, false));
  EXPECT_TRUE(a.value->GT(a2.value, 1, 0, true));
}
