// IParam: initialisation, constrained sets, normalisation, display and parse
// for the parameter kinds the product uses.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "plinth/Param.h"

namespace {

using plinth::IParam;

void Hz(IParam& p) {  // FreqLow
  p.InitDouble("FreqLow", 200, 20, 2000, 1, "Hz");
}
void Db(IParam& p) {  // ThreshLow
  p.InitDouble("ThreshLow", -20, -60, 0, 0.1, "dB");
}
void Ratio(IParam& p) {
  p.InitDouble("RatioLow", 4, 1, 20, 0.1, ":1");
}
void Ms(IParam& p) {  // Attack
  p.InitDouble("Attack", 10, 0.1, 300, 0.1, "ms");
}
void Int(IParam& p) {  // LinkSlot
  p.InitInt("LinkSlot", 0, 0, 4, "");
}

TEST(IParam, InitialisersSetMetadataAndDefault) {
  IParam d;
  Db(d);
  EXPECT_STREQ(d.Name(), "ThreshLow");
  EXPECT_STREQ(d.Label(), "dB");
  EXPECT_EQ(d.GetType(), IParam::Type::Double);
  EXPECT_EQ(d.Min(), -60);
  EXPECT_EQ(d.Max(), 0);
  EXPECT_EQ(d.Default(), -20);
  EXPECT_EQ(d.Value(), -20);
  EXPECT_EQ(d.StepCount(), 0);
  EXPECT_EQ(d.DisplayPrecision(), 1);

  IParam i;
  Int(i);
  EXPECT_EQ(i.GetType(), IParam::Type::Int);
  EXPECT_EQ(i.StepCount(), 4);
  EXPECT_EQ(i.Int(), 0);

  IParam clampedDefault;
  clampedDefault.InitDouble("x", 50, 0, 10, 0);
  EXPECT_EQ(clampedDefault.Default(), 10);
  IParam inverted;
  inverted.InitDouble("y", 0, 5, 1, 0);  // max below min collapses to min
  EXPECT_EQ(inverted.Max(), 5);
  EXPECT_EQ(inverted.Value(), 5);
}

TEST(IParam, SetClampsAndRoundsOnlyIntegersToTheirStep) {
  struct Case {
    void (*make)(IParam&);
    double in, out;
  } cases[] = {
      {Hz, 200.4, 200.4}, {Hz, 1e9, 2000},     {Hz, -5, 20},         {Hz, 19.6, 20},
      {Db, -20.04, -20.04}, {Db, 6.02, 0},     {Db, -99, -60},       {Ratio, 0.3, 1},
      {Ratio, 2.26, 2.26}, {Ms, 0.04, 0.1},    {Ms, 299.96, 299.96}, {Ms, 300.5, 300},
      {Int, 2.4, 2},      {Int, 2.6, 3},       {Int, 9, 4},          {Int, -1, 0},
      {Hz, std::numeric_limits<double>::infinity(), 2000},
      {Db, -std::numeric_limits<double>::infinity(), -60},
  };
  for (const Case& c : cases) {
    IParam p;
    c.make(p);
    p.Set(c.in);
    EXPECT_EQ(p.Value(), c.out) << p.Name() << " set " << c.in;
  }
  IParam p;
  Db(p);
  p.Set(-33.3);
  p.Set(std::nan(""));  // NaN falls back to the default, never stored
  EXPECT_EQ(p.Value(), -20);
}

TEST(IParam, NormalisationRoundTrips) {
  for (void (*make)(IParam&) : {Hz, Db, Ratio, Ms, Int}) {
    IParam p;
    make(p);
    EXPECT_EQ(p.ToNormalized(p.Min()), 0.0) << p.Name();
    EXPECT_EQ(p.ToNormalized(p.Max()), 1.0) << p.Name();
    EXPECT_EQ(p.FromNormalized(-3), p.Min()) << p.Name();
    EXPECT_EQ(p.FromNormalized(7), p.Max()) << p.Name();
    EXPECT_EQ(p.FromNormalized(std::nan("")), p.Default()) << p.Name();
    for (int k = 0; k <= 50; ++k) {
      const double plain = p.Constrain(p.Min() + (p.Max() - p.Min()) * k / 50.0);
      EXPECT_NEAR(p.FromNormalized(p.ToNormalized(plain)), plain, 1e-12 * (p.Max() - p.Min()))
          << p.Name() << " " << plain;
    }
    p.SetNormalized(0.3);  // integers land on the nearest step, doubles exactly
    EXPECT_NEAR(p.Value(), p.Min() + 0.3 * (p.Max() - p.Min()),
                p.GetType() == IParam::Type::Int ? p.Step() / 2 : 1e-9) << p.Name();
    EXPECT_EQ(p.Value(), p.Constrain(p.Value())) << p.Name();
  }
  IParam flat;
  flat.InitDouble("flat", 3, 3, 3, 0);
  EXPECT_EQ(flat.ToNormalized(3), 0.0);
  EXPECT_EQ(flat.FromNormalized(0.7), 3.0);
}

TEST(IParam, DisplayTextUsesTheStepsPrecision) {
  struct Case {
    void (*make)(IParam&);
    double value;
    const char* text;
  } cases[] = {
      {Hz, 200, "200"},     {Hz, 1234.6, "1235"}, {Db, -20, "-20.0"},  {Db, -0.04, "0.0"},
      {Db, -0.05, "-0.1"},  {Ratio, 4, "4.0"},    {Ratio, 20, "20.0"}, {Ms, 0.1, "0.1"},
      {Ms, 12.34, "12.3"},  {Int, 3, "3"},        {Int, 3.7, "4"},     {Hz, 5, "20"},
  };
  for (const Case& c : cases) {
    IParam p;
    c.make(p);
    EXPECT_EQ(p.DisplayText(c.value), c.text) << p.Name() << " " << c.value;
  }
}

TEST(IParam, ParseAcceptsTheNumberAndItsOwnLabel) {
  struct Case {
    void (*make)(IParam&);
    const char* text;
    bool ok;
    double value;
  } cases[] = {
      {Hz, "440", true, 440},        {Hz, "440 Hz", true, 440},     {Hz, " 440Hz ", true, 440},
      {Hz, "440 dB", false, 0},      {Hz, "Hz", false, 0},          {Hz, "", false, 0},
      {Hz, "1e3", true, 1000},       {Hz, "440.6", true, 440.6},    {Db, "-12.34 dB", true, -12.34},
      {Db, "+3", true, 0},           {Db, "inf", false, 0},         {Db, "nan dB", false, 0},
      {Ratio, "2.5:1", true, 2.5},   {Ratio, "2.5 :1", true, 2.5},  {Ratio, "2.5:2", false, 0},
      {Ms, "0.05 ms", true, 0.1},    {Int, "3", true, 3},           {Int, "3 x", false, 0},
      {Int, "12", true, 4},          {Hz, nullptr, false, 0},
  };
  for (const Case& c : cases) {
    IParam p;
    c.make(p);
    double v = -999;
    EXPECT_EQ(p.Parse(c.text, v), c.ok) << p.Name() << " '" << (c.text ? c.text : "(null)") << "'";
    if (c.ok) {
      EXPECT_EQ(v, c.value) << p.Name() << " '" << c.text << "'";
    } else {
      EXPECT_EQ(v, -999) << "failed parse must leave the output alone";
    }
  }
}

TEST(IParam, DisplayAndParseRoundTripOverTheRange) {
  for (void (*make)(IParam&) : {Hz, Db, Ratio, Ms, Int}) {
    IParam p;
    make(p);
    for (int k = 0; k <= 200; ++k) {
      const double plain = p.Constrain(p.Min() + (p.Max() - p.Min()) * k / 200.0);
      const std::string text = p.DisplayText(plain);
      double back = 0;
      ASSERT_TRUE(p.Parse(text.c_str(), back)) << text;
      // What is shown is what parsing it gives back, to the shown precision.
      EXPECT_EQ(p.DisplayText(back), text) << p.Name();
      EXPECT_NEAR(back, plain, p.Step() / 2 + 1e-9) << p.Name() << " '" << text << "'";
    }
  }
}

}  // namespace
