// The aggregate loader: order, roll-back on the first failure, the two
// message forms, and "already loaded" short-cut. Every test starts and ends
// with nothing loaded (the process starts that way; TearDown restores it).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "AVCodecHlpr.h"
#include "AVFormatHlpr.h"
#include "AVProbe.h"
#include "AVUtilHlpr.h"
#include "LibLoader.h"
#include "MyUtilHlpr.h"
#include "SwResampleHlpr.h"
#include "SwScaleHlpr.h"
#include "TestEnv.h"

namespace fs = std::filesystem;

namespace {

const char *const kFiles[] = {"libavcodec.so.59",   "libavformat.so.59",  "libavutil.so.57",
                              "libswscale.so.6",    "libswresample.so.4", "libmyutil.so"};

std::string RealLibAV() { return ExecutableDir() + "LibAV"; }

bool AnyLoaded()
{
  return AVLibsLoaded() || AVCodecLoaded() || AVFormatLoaded() || AVUtilLoaded() || SwScaleLoaded() ||
         SwResampleLoaded() || MyUtilLoaded();
}

bool StartsWith(const std::string &AText, const std::string &APrefix) { return AText.rfind(APrefix, 0) == 0; }

class LoaderTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(AnyLoaded()) << "a previous test left libraries loaded"; }
  void TearDown() override { UnloadAVLibs(); }

  // A scratch LibAV/ with links to the real files, except those left out.
  std::string Folder(std::initializer_list<std::string> AWithout, const std::string &AReplaceSwScale = "")
  {
    for (const char *f : kFiles) {
      if (std::find(AWithout.begin(), AWithout.end(), f) != AWithout.end()) continue;
      fs::create_symlink(fs::canonical(RealLibAV() + "/" + f), Dir.File(f));
    }
    if (!AReplaceSwScale.empty()) {
      fs::remove(Dir.File("libswscale.so.6"));
      fs::create_symlink(AReplaceSwScale, Dir.File("libswscale.so.6"));
    }
    return Dir.Path();
  }

  qvtest::TScratchDir Dir;
};

TEST_F(LoaderTest, ProbeRefusesWhileNothingIsLoaded)
{
  TAVProbe p;
  try {
    p.LoadFile(qvtest::Sample("ruffle__dummy.flv"));
    FAIL() << "no exception";
  } catch (const std::runtime_error &e) {
    EXPECT_STREQ(e.what(), "LibAVCodec not loaded.");
  }
  EXPECT_EQ(p.GetFileInfoText(), "");  // and no library call without libraries

  // Each library in turn: the message names the first one still missing.
  std::string err;
  ASSERT_TRUE(LoadAVCodec(err, RealLibAV(), true, true)) << err;
  EXPECT_THROW(TAVProbe::CheckLibAV(), std::runtime_error);
  try {
    TAVProbe::CheckLibAV();
  } catch (const std::runtime_error &e) {
    EXPECT_STREQ(e.what(), "LibAVFormat not loaded.");
  }
  ASSERT_TRUE(LoadAVFormat(err, RealLibAV(), true, true)) << err;
  try {
    TAVProbe::CheckLibAV();
  } catch (const std::runtime_error &e) {
    EXPECT_STREQ(e.what(), "LibAVUtil not loaded.");
  }
  ASSERT_TRUE(LoadAVUtil(err, RealLibAV(), true)) << err;
  try {
    TAVProbe::CheckLibAV();
  } catch (const std::runtime_error &e) {
    EXPECT_STREQ(e.what(), "LibSwScale not loaded.");
  }
  ASSERT_TRUE(LoadSwScale(err, RealLibAV(), true)) << err;
  EXPECT_NO_THROW(TAVProbe::CheckLibAV());
}

TEST_F(LoaderTest, MissingFirstLibraryLoadsNothing)
{
  const std::string dir = Folder({"libavcodec.so.59"});
  EXPECT_FALSE(LoadAVLibs(dir, true));
  const std::string err = AVLibsLastError();
  EXPECT_TRUE(StartsWith(err, "Load libraray libavcodec.so.59 error: ")) << err;
  EXPECT_NE(err.find("No such file or directory"), std::string::npos) << err;
  EXPECT_NE(err.back(), '.');
  EXPECT_FALSE(AnyLoaded());
}

TEST_F(LoaderTest, MissingMiddleOrLastLibraryReleasesTheOthers)
{
  for (const char *missing : {"libavutil.so.57", "libswresample.so.4", "libmyutil.so"}) {
    qvtest::TScratchDir own;
    for (const char *f : kFiles)
      if (std::string(f) != missing) fs::create_symlink(fs::canonical(RealLibAV() + "/" + f), own.File(f));
    EXPECT_FALSE(LoadAVLibs(own.Path(), true)) << missing;
    EXPECT_TRUE(StartsWith(AVLibsLastError(), std::string("Load libraray ") + missing + " error: "))
        << AVLibsLastError();
    EXPECT_FALSE(AnyLoaded()) << missing;
  }
}

TEST_F(LoaderTest, PlainNamesAreTriedWithoutFallback)
{
  // The folder holds only versioned names; asking for plain ones must fail on the first.
  EXPECT_FALSE(LoadAVLibs(Folder({}), false));
  EXPECT_TRUE(StartsWith(AVLibsLastError(), "Load libraray libavcodec.so error: ")) << AVLibsLastError();
  EXPECT_FALSE(AnyLoaded());
}

TEST_F(LoaderTest, StandInLackingAFunctionNamesTheFirstMissingAndIsReleased)
{
  const std::string standIn = std::string(QV_STANDIN_DIR) + "/libswscale.so.6";
  ASSERT_TRUE(fs::exists(standIn));
  EXPECT_FALSE(LoadAVLibs(Folder({}, standIn), true));
  const std::string err = AVLibsLastError();
  EXPECT_TRUE(StartsWith(err, "Load function sws_freeContext@libswscale.so.6 error: ")) << err;
  EXPECT_NE(err.find("undefined symbol"), std::string::npos) << err;
  EXPECT_FALSE(AnyLoaded());
  // Nobody else loads the stand-in, so it being resident would mean the
  // roll-back kept its handle.
  void *h = dlopen(standIn.c_str(), RTLD_NOW | RTLD_NOLOAD);
  EXPECT_EQ(h, nullptr);
  if (h) dlclose(h);
}

TEST_F(LoaderTest, FailureThenSuccessThenAnyFolderReturnsTrueAtOnce)
{
  EXPECT_FALSE(LoadAVLibs(Dir.Path(), true));
  EXPECT_FALSE(AVLibsLastError().empty());
  ASSERT_TRUE(LoadAVLibs(RealLibAV(), true)) << AVLibsLastError();
  EXPECT_EQ(AVLibsLastError(), "");
  EXPECT_TRUE(AVCodecLoaded() && AVFormatLoaded() && AVUtilLoaded() && SwScaleLoaded() && SwResampleLoaded());
  EXPECT_EQ(AVCodecLib.avcodec_version() >> 16, 59u);
  EXPECT_EQ(SwScaleLib.swscale_version() >> 16, 6u);
  // Already loaded: the folder and the flag of a second call are ignored.
  EXPECT_TRUE(LoadAVLibs("/nonexistent-folder", false));
  EXPECT_TRUE(LoadAVLibs(Dir.Path(), true));
  EXPECT_EQ(AVLibsLastError(), "");
  TAVProbe p;
  EXPECT_TRUE(p.LoadFile(qvtest::Sample("ruffle__dummy.flv"))) << p.LastError;
}

}  // namespace
