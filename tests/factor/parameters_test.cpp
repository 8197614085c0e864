// Tests of the parameter record's life cycle: defaults a solve can use as they stand, texts the
// record owns, release of buffers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "common/onebased.h"
#include "factor/factor.h"

namespace trelvak {
namespace {

TEST(Parameters, DefaultsAreUsable) {
    ParameterRecord* p = create_parameters();
    EXPECT_STREQ(p->solver, "sqmr");
    EXPECT_STREQ(p->amg, "ilu");
    EXPECT_STREQ(p->FCpart, "none");
    EXPECT_STREQ(p->typetv, "none");
    EXPECT_STREQ(p->ordering, "amd");
    EXPECT_GT(p->droptol, 0.0);
    EXPECT_GT(p->droptolS, 0.0);
    EXPECT_GE(p->condest, 1.0);
    EXPECT_GT(p->elbow, 1.0);
    EXPECT_GT(p->maxit, 0);
    EXPECT_GT(p->restol, 0.0);
    EXPECT_LT(p->restol, 1.0);
    // The creator's Krylov controls: right preconditioning, the relative stopping test.
    auto ipar = view1(p->ipar, 16);
    EXPECT_EQ(ipar(kPrecSide), 2);
    EXPECT_EQ(ipar(kStopTest), 1);
    EXPECT_EQ(view1(p->fpar, 16)(kAbsTol), 0.0);
    // A symmetric scaling: norm code 4 of pass 1.
    EXPECT_EQ(p->ifact[7] & 0x600, 0);
    EXPECT_EQ(p->ifact[8] & 0x1f, 4);
    EXPECT_EQ(p->reorder0, nullptr);
    EXPECT_EQ(p->dbuff, nullptr);
    release_parameters(p);
}

TEST(Parameters, TextsAreCopiedAndOwned) {
    ParameterRecord* p = create_parameters();
    char text[]        = "gmres";
    set_text(p, &p->solver, text);
    text[0] = 'x';
    EXPECT_STREQ(p->solver, "gmres");
    set_text(p, &p->solver, "fgmres");  // the earlier copy stays owned until release
    EXPECT_STREQ(p->solver, "fgmres");
    set_text(p, &p->typetv, nullptr);
    EXPECT_EQ(p->typetv, nullptr);
    auto* adopted = static_cast<char*>(std::malloc(4));
    std::strcpy(adopted, "mg");
    adopt_text(p, adopted);
    p->amg = adopted;
    release_parameters(p);  // frees both copies and the adopted block (checked under LSan)
}

TEST(Parameters, ReleaseFreesGrownBuffers) {
    ParameterRecord* p = create_parameters();
    p->dbuff           = static_cast<double*>(MAlloc(80, "test:dbuff"));
    p->ibuff           = static_cast<int*>(MAlloc(40, "test:ibuff"));
    p->testvector      = static_cast<double*>(MAlloc(16, "test:testvector"));
    p->indicator       = static_cast<int*>(MAlloc(16, "test:indicator"));
    release_parameters(p);
    release_parameters(nullptr);
}

}  // namespace
}  // namespace trelvak
