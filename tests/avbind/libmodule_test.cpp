// The shared load/resolve steps every library binding goes through, checked
// on the C maths library: what fills the table, and the texts that tell why
// a load failed.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "LibModule.h"

namespace {

// Typed by hand: <cmath> overloads the names, so QV_SLOT cannot take their type.
struct TMathFuncs {
  double (*cos)(double) = nullptr;
  double (*floor)(double) = nullptr;
  double (*no_such_function)(double) = nullptr;
};

struct TLoadCase {
  const char *What;
  const char *Versioned;  // format of the versioned name, or null
  const char *Plain;
  const char *Folder;
  bool WithMissing;       // a symbol no library has, listed between the two
  const char *ErrorStart; // empty when the load succeeds
};

TEST(LibModuleTest, LoadFillsTheTableInOrderOrTellsWhatFailed)
{
  const TLoadCase cases[] = {
      {"versioned name", "libm.so.%d", "libm.so", "", false, ""},
      {"first missing symbol", "libm.so.%d", "libm.so", "", true, "Load function no_such_function@libm.so.6 error: "},
      {"absent library", nullptr, "libqv_absent.so", "", false, "Load libraray libqv_absent.so error: "},
      // A folder makes the file exact; the message names the file, not the path.
      {"absent folder", "libm.so.%d", "libm.so", "/nonexistent/", false, "Load libraray libm.so.6 error: "},
  };
  for (const TLoadCase &c : cases) {
    SCOPED_TRACE(c.What);
    TMathFuncs table;
    avbind::TLibModule module =
        c.WithMissing ? avbind::TLibModule(c.Versioned, 6, c.Plain,
                                           {QV_SYM(table, cos) QV_SYM(table, no_such_function) QV_SYM(table, floor)})
                      : avbind::TLibModule(c.Versioned, 6, c.Plain, {QV_SYM(table, cos) QV_SYM(table, floor)});
    std::string error;
    const bool loaded = module.Load(error, c.Folder, c.Versioned != nullptr);
    EXPECT_EQ(loaded, *c.ErrorStart == '\0');
    EXPECT_EQ(module.Loaded(), loaded);
    if (loaded) {
      ASSERT_TRUE(table.cos && table.floor);
      EXPECT_DOUBLE_EQ(table.cos(0.0), 1.0);
      EXPECT_DOUBLE_EQ(table.floor(2.5), 2.0);
    } else {
      EXPECT_EQ(error.rfind(c.ErrorStart, 0), 0u) << error;
      EXPECT_EQ(module.LastError(), error);
      EXPECT_EQ(table.floor, nullptr);  // resolution stops at the first failure
    }
    module.Unload();
    EXPECT_FALSE(module.Loaded());
  }
}

TEST(LibModuleTest, SystemMessagesLoseTrailingBlanksBreaksAndStops)
{
  const std::pair<const char *, const char *> cases[] = {
      {"cannot open shared object file.", "cannot open shared object file"},
      {"undefined symbol: x\n", "undefined symbol: x"},
      {"a. b. \t\r\n..", "a. b"},
      {"", ""},
      {nullptr, ""},
  };
  for (const auto &[text, trimmed] : cases) EXPECT_EQ(avbind::TrimSystemMessage(text), trimmed);
}

}  // namespace
