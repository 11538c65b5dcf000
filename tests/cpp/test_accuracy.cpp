// The categorical and linear accuracy fractions.
#include "nn/accuracy.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

namespace accuracy = wexo::accuracy;

TEST(CategoricalAccuracy, CountsEqualClassesOverPredictions) {
    EXPECT_EQ(accuracy::categorical::calculate({1, 2, 0}, {1, 0, 0}), 2.0f / 3.0f);
    EXPECT_EQ(accuracy::categorical::calculate({1, 2, 0}, {1, 0, 0}) * 100.0f, 66.66667f);
    EXPECT_EQ(accuracy::categorical::calculate({3}, {3, 5, 7}), 1.0f);  // surplus targets ignored
    EXPECT_TRUE(std::isnan(accuracy::categorical::calculate({}, {})));
}

TEST(CategoricalAccuracy, TooFewTargetsAbort) {
    EXPECT_THROW(accuracy::categorical::calculate({1, 2}, {1}), wexo::Abort);
}

TEST(LinearAccuracy, ToleranceIsInclusiveAndDenominatorIsTheCallers) {
    const wexo::Vector p = {1.0f, 2.0f, 3.5f};
    EXPECT_EQ(accuracy::linear::calculate(p, {1.5f, 2.0f, 5.0f}, 0.5f, 3), 2.0f / 3.0f);
    EXPECT_EQ(accuracy::linear::calculate(p, {1.5f, 2.0f, 5.0f, 9.0f}, 0.5f, 4), 0.5f);
    EXPECT_EQ(accuracy::linear::calculate(p, {1.5f, 2.0f, 5.0f}, std::numeric_limits<float>::quiet_NaN(), 3), 0.0f);
    EXPECT_EQ(accuracy::linear::calculate({std::numeric_limits<float>::quiet_NaN()}, {1.0f}, 1e30f, 1), 0.0f);
    EXPECT_TRUE(std::isnan(accuracy::linear::calculate({}, {}, 1.0f, 0)));
}

TEST(LinearAccuracy, TooFewTargetsAbort) {
    EXPECT_THROW(accuracy::linear::calculate({1, 2}, {1}, 1.0f, 1), wexo::Abort);
}

}  // namespace
