// Tests of setup mode (DSYMAMGsetupparameters with mode 0): both reordering selection tables cell
// by cell, the cases that change nothing, the factorization controls with the rounding of elbow,
// FCpart normalisation, the indicator, the test vector rules, the coarse-grid bits and the cycle.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "preprocess/preprocess.h"
#include "solver/solver.h"

namespace {

// A record as the factorization's creator would hand it over: texts set, buffers empty.
struct Record {
    ParameterRecord param{};
    SparseMatrix A{};
    std::vector<int> ind;
    std::vector<double> tv;

    explicit Record(int n = 4) {
        std::memset(&param, 0, sizeof param);
        A.nr = A.nc    = n;
        param.FCpart   = "none";
        param.amg      = "ilu";
        param.solver   = "sqmr";
        param.ordering = "amd";
        param.typetv   = "none";
    }
    ~Record() {
        std::free(param.indicator);
        std::free(param.testvector);
    }
    Record(const Record&)            = delete;
    Record& operator=(const Record&) = delete;

    void indicator(std::vector<int> values) {
        ind       = std::move(values);
        param.ind = ind.data();
    }
    void run() { DSYMAMGsetupparameters(&A, &param, 0); }
};

// A slot value that no table holds, to see slots left unchanged.
int sentinel_routine(SparseMatrix, double*, double*, int*, int*, int*, ParameterRecord*) {
    return 0;
}
const ReorderRoutine kSentinel = sentinel_routine;

// ---- Selection tables --------------------------------------------------------------------------

struct Cell {
    int matching;
    const char* ordering;
    ReorderRoutine not_fc;           // FCpart "none", NEGATIVE_INDICATOR clear
    ReorderRoutine not_fc_negative;  // FCpart "none", NEGATIVE_INDICATOR set
    ReorderRoutine fc;               // FCpart "yes", typetv "none"
    ReorderRoutine fcv;              // FCpart "yes", typetv "static" (any other text)
};

// clang-format off
const Cell kCells[] = {
    {0, "amd",    DGNLperm_amd,     DGNLperm_amd,                 DSYMperm_amd_fc,     DSYMperm_amd_fcv},
    {0, "metisn", DGNLperm_metis_n, DSYMperm_matching_metis_n_sp, DSYMperm_metis_n_fc, DSYMperm_metis_n_fcv},
    {0, "metise", DGNLperm_metis_e, DGNLperm_metis_e,             DSYMperm_metis_e_fc, DSYMperm_metis_e_fcv},
    {0, "rcm",    DSPDperm_rcm,     DSPDperm_rcm,                 DSYMperm_rcm_fc,     DSYMperm_rcm_fcv},
    {0, "amf",    DGNLperm_amf,     DGNLperm_amf,                 DSYMperm_amf_fc,     DSYMperm_amf_fcv},
    {0, "mmd",    DGNLperm_mmd,     DGNLperm_mmd,                 DSYMperm_mmd_fc,     DSYMperm_mmd_fcv},
    {0, "none",   DGNLperm_null,    DGNLperm_null,                DSYMperm_fc,         DSYMperm_fcv},
    {0, "pp",     DSPDperm_pp,      DSPDperm_pp,                  DSPDperm_pp,         DSPDperm_pp},
    {1, "amd",    DSYMperm_matching_amd,     DSYMperm_matching_amd_sp,     DSYMperm_matching_amd_fc,     DSYMperm_matching_amd_fcv},
    {1, "metisn", DSYMperm_matching_metis_n, DSYMperm_matching_metis_n_sp, DSYMperm_matching_metis_n_fc, DSYMperm_matching_metis_n_fcv},
    {1, "metise", DSYMperm_matching_metis_e, DSYMperm_matching_metis_e_sp, DSYMperm_matching_metis_e_fc, DSYMperm_matching_metis_e_fcv},
    {1, "rcm",    DSYMperm_matching_rcm,     DSYMperm_matching_rcm_sp,     DSYMperm_matching_rcm_fc,     DSYMperm_matching_rcm_fcv},
    {1, "amf",    DSYMperm_matching_amf,     DSYMperm_matching_amf_sp,     DSYMperm_matching_amf_fc,     DSYMperm_matching_amf_fcv},
    {1, "mmd",    DSYMperm_matching_mmd,     DSYMperm_matching_mmd_sp,     DSYMperm_matching_mmd_fc,     DSYMperm_matching_mmd_fcv},
    {1, "pp",     DSPDperm_pp,               DSPDperm_pp,                  DSPDperm_pp,                  DSPDperm_pp},
};
// clang-format on

TEST(SetupMode, SelectionTablesCellByCell) {
    struct Column {
        const char* FCpart;
        const char* typetv;
        bool negative;
        ReorderRoutine Cell::*expected;
    };
    const Column columns[] = {
        {"none", "none", false, &Cell::not_fc},
        {"none", "none", true, &Cell::not_fc_negative},
        {"yes", "none", false, &Cell::fc},
        {"yes", "none", true, &Cell::fc},
        {"yes", "static", false, &Cell::fcv},
        {"yes", "dynamic", true, &Cell::fcv},
        {"none", "static", false, &Cell::not_fc},
        {"nonesuch", "none", true, &Cell::not_fc_negative},
    };
    for (const Cell& cell : kCells) {
        for (const Column& column : columns) {
            SCOPED_TRACE(std::string("matching=") + std::to_string(cell.matching) +
                         " ordering=" + cell.ordering + " FCpart=" + column.FCpart +
                         " typetv=" + column.typetv + (column.negative ? " negative" : ""));
            Record s;
            s.param.matching = cell.matching;
            s.param.ordering = cell.ordering;
            s.param.FCpart   = column.FCpart;
            s.param.typetv   = column.typetv;
            s.param.flags    = column.negative ? NEGATIVE_INDICATOR : 0u;
            // Bits to be cleared start set; PLAIN_ORDERING starts set for the matching table.
            s.param.flags |= cell.matching != 0 ? PLAIN_ORDERING : 0u;
            s.run();
            EXPECT_EQ(s.param.reorder0, cell.*column.expected);
            EXPECT_EQ(s.param.reorder1, cell.*column.expected);
            EXPECT_EQ(s.param.reorder2, DSPDperm_pp);
            const bool pp        = std::string(cell.ordering) == "pp";
            const unsigned plain = cell.matching == 0 && !pp ? PLAIN_ORDERING : 0u;
            EXPECT_EQ(s.param.flags & (PLAIN_ORDERING | ORDERING_A | ORDERING_B),
                      plain | ORDERING_A | ORDERING_B);
        }
    }
}

TEST(SetupMode, PrefixesSelectAndOtherTextsChangeNothing) {
    struct Case {
        int matching;
        const char* ordering;
        const char* FCpart;
        const char* typetv;
        ReorderRoutine expected;  // kSentinel: slots unchanged
    };
    const Case cases[] = {
        {0, "amdx", "none", "none", DGNLperm_amd},  // a text selects by its prefix
        {1, "metisn_extra", "none", "none", DSYMperm_matching_metis_n},
        {0, "AMD", "none", "none", kSentinel},    // case-sensitive
        {0, "metis", "none", "none", kSentinel},  // shorter than both keywords
        {1, "none", "none", "none", kSentinel},   // no keyword with matching
        {0, "", "none", "none", kSentinel},
        {0, nullptr, "none", "none", kSentinel},
        {0, "amd", "yes", nullptr, kSentinel},  // FCpart "yes" without a typetv
        {0, "amd", "yes", "", kSentinel},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ordering ? c.ordering : "(null)");
        Record s;
        s.param.matching = c.matching;
        s.param.ordering = c.ordering;
        s.param.FCpart   = c.FCpart;
        s.param.typetv   = c.typetv;
        s.param.reorder0 = s.param.reorder1 = s.param.reorder2 = kSentinel;
        s.run();
        EXPECT_EQ(s.param.reorder0, c.expected);
        EXPECT_EQ(s.param.reorder1, c.expected);
        if (c.expected == kSentinel) {
            EXPECT_EQ(s.param.reorder2, kSentinel);
            EXPECT_EQ(s.param.flags & (PLAIN_ORDERING | ORDERING_A | ORDERING_B), 0u);
        }
    }
}

// ---- Controls ----------------------------------------------------------------------------------

TEST(SetupMode, FactorizationControlsAndElbowRoundedUp) {
    const std::pair<double, int> elbows[] = {{2.0, 2}, {2.1, 3},  {2.5, 3},   {3.5, 4},
                                             {0.0, 0}, {-0.5, 0}, {-1.5, -1}, {1e300, 2147483647}};
    for (const auto& [elbow, expected] : elbows) {
        Record s;
        s.param.elbow    = elbow;
        s.param.droptol  = 1e-2;
        s.param.droptolS = 1e-3;
        s.param.condest  = 7.0;
        s.param.lfil     = 11;
        s.param.lfilS    = 13;
        s.run();
        EXPECT_EQ(s.param.ifact[0], expected) << "elbow " << elbow;
        EXPECT_EQ(s.param.dfact[0], 1e-2);
        EXPECT_EQ(s.param.dfact[7], 1e-3);
        EXPECT_EQ(s.param.dfact[1], 7.0);
        EXPECT_EQ(s.param.ifact[3], 11);
        EXPECT_EQ(s.param.ifact[9], 13);
    }
}

TEST(SetupMode, FCpartIsYesOrNone) {
    const std::pair<const char*, const char*> cases[] = {
        {"yes", "yes"},   {"yesplease", "yesplease"},
        {"none", "none"}, {"Yes", "none"},
        {"no", "none"},   {"", "none"},
    };
    for (const auto& [given, expected] : cases) {
        Record s;
        s.param.FCpart = given;
        s.run();
        EXPECT_STREQ(s.param.FCpart, expected) << given;
    }
}

// ---- Indicator ---------------------------------------------------------------------------------

TEST(SetupMode, IndicatorIsCopiedAndANegativeEntrySelectsTheConstrainedMembers) {
    Record s(4);
    s.param.matching = 1;
    s.indicator({1, 1, -1, 1});
    s.run();
    ASSERT_NE(s.param.indicator, nullptr);
    EXPECT_EQ(s.param.nindicator, 8);
    EXPECT_EQ(std::vector<int>(s.param.indicator, s.param.indicator + 4),
              (std::vector<int>{1, 1, -1, 1}));
    EXPECT_NE(s.param.flags & NEGATIVE_INDICATOR, 0u);
    EXPECT_EQ(s.param.reorder0, DSYMperm_matching_amd_sp);

    // A later call with a larger order grows the buffer; the bit is never cleared.
    s.A.nc = 6;
    s.indicator({2, 2, 2, 2, 2, 2});
    s.run();
    EXPECT_EQ(s.param.nindicator, 12);
    EXPECT_EQ(s.param.indicator[5], 2);
    EXPECT_NE(s.param.flags & NEGATIVE_INDICATOR, 0u);

    // A smaller order keeps the larger capacity.
    s.A.nc = 2;
    s.run();
    EXPECT_EQ(s.param.nindicator, 12);
}

TEST(SetupMode, IndicatorWithoutNegativeEntryKeepsThePlainMembers) {
    Record s(3);
    s.param.matching = 1;
    s.indicator({0, 1, 5});
    s.run();
    EXPECT_EQ(s.param.flags & NEGATIVE_INDICATOR, 0u);
    EXPECT_EQ(s.param.reorder0, DSYMperm_matching_amd);
}

// ---- Test vector -------------------------------------------------------------------------------

TEST(SetupMode, TestVectorRules) {
    const std::vector<double> given = {3.0, -4.0, 5.0};
    const std::vector<double> ones(3, 1.0);
    struct Case {
        const char* typetv;
        unsigned flags_before;
        bool with_tv;
        unsigned kind_bits;                // TEST_VECTOR, STATIC_, DYNAMIC_ after the call
        const std::vector<double>* value;  // null: no test vector kept
    };
    const Case cases[] = {
        {"static", 0u, true, TEST_VECTOR | STATIC_TESTVECTOR, &given},    // 0x20020, copied
        {"dynamic", 0u, true, TEST_VECTOR | DYNAMIC_TESTVECTOR, &given},  // 0x40020, copied
        {"none", TEST_VECTOR, true, TEST_VECTOR, &ones},                  // creator's bit: ones
        {"none", 0u, true, 0u, nullptr},
        {"", 0u, true, 0u, nullptr},
        {"static", 0u, false, TEST_VECTOR | STATIC_TESTVECTOR, nullptr},  // no tv: not read
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.typetv) + (c.with_tv ? "" : " without tv"));
        Record s(3);
        s.tv           = given;
        s.param.tv     = c.with_tv ? s.tv.data() : nullptr;
        s.param.typetv = c.typetv;
        s.param.flags  = c.flags_before;
        s.run();
        EXPECT_EQ(s.param.flags & (TEST_VECTOR | STATIC_TESTVECTOR | DYNAMIC_TESTVECTOR),
                  c.kind_bits);
        EXPECT_EQ(s.param.testvector != nullptr, (c.kind_bits & TEST_VECTOR) != 0);
        if (s.param.testvector != nullptr) {
            EXPECT_EQ(s.param.ntestvector, 6u);
        }
        if (c.value != nullptr) {
            EXPECT_EQ(std::vector<double>(s.param.testvector, s.param.testvector + 3), *c.value);
        }
    }
}

TEST(SetupMode, TestVectorBufferOnlyGrows) {
    Record s(3);
    s.param.testvector  = static_cast<double*>(std::malloc(sizeof(double) * 20));
    s.param.ntestvector = 20;
    s.tv                = {7.0, 8.0, 9.0};
    s.param.tv          = s.tv.data();
    s.param.typetv      = "static";
    s.run();
    EXPECT_EQ(s.param.ntestvector, 20u);
    EXPECT_EQ(s.param.testvector[2], 9.0);
}

// ---- Coarse grid, cycle, flags copy -------------------------------------------------------------

TEST(SetupMode, CoarseGridBits) {
    struct Case {
        const char* typecoarse;
        unsigned before;
        unsigned after;
    };
    const Case cases[] = {
        {"ilu", COARSE_ALT, COARSE_ILU},
        {"amg", COARSE_ALT | COARSE_ILU, 0u},
        {"other", COARSE_ALT, COARSE_ALT},
        {"", COARSE_ILU, COARSE_ILU},
        {nullptr, COARSE_ALT | COARSE_ILU, COARSE_ALT | COARSE_ILU},
    };
    for (const Case& c : cases) {
        Record s;
        s.param.ordering   = nullptr;
        s.param.typecoarse = c.typecoarse;
        s.param.flags      = c.before;
        s.run();
        EXPECT_EQ(s.param.flags & (COARSE_ALT | COARSE_ILU), c.after);
    }
}

TEST(SetupMode, CycleKindIgnoresDiscardedCoarseSystems) {
    const std::tuple<const char*, int, const char*> cases[] = {
        {"mg", 2, "mg"}, {"amli", 1, "amli"}, {"ilu", 0, "ilu"}, {"AMLI", 0, "ilu"}};
    for (const auto& [amg, kind, after] : cases) {
        Record s;
        s.param.amg       = amg;
        s.param.ifact[16] = static_cast<int>(COARSE_DISCARDED);
        s.run();
        EXPECT_EQ(s.param.ifact[10], kind) << amg;
        EXPECT_STREQ(s.param.amg, after);
    }
}

TEST(SetupMode, FlagsAreCopiedIntoIfact6Last) {
    Record s(2);
    s.param.flags      = COARSE_REDUCE;
    s.param.matching   = 0;
    s.param.ordering   = "rcm";
    s.param.typetv     = "static";
    s.param.typecoarse = "ilu";
    s.tv               = {1.0, 2.0};
    s.param.tv         = s.tv.data();
    s.indicator({-1, 1});
    s.run();
    EXPECT_EQ(static_cast<unsigned>(s.param.ifact[6]), s.param.flags);
    EXPECT_EQ(s.param.flags, COARSE_REDUCE | NEGATIVE_INDICATOR | PLAIN_ORDERING | ORDERING_A |
                                 ORDERING_B | TEST_VECTOR | STATIC_TESTVECTOR | COARSE_ILU);
}

}  // namespace
