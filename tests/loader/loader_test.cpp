// The aggregate loader: order, roll-back on the first failure, the two
// message forms, and "already loaded" short-cut. Every test starts and ends
// with nothing loaded (the process starts that way; TearDown restores it).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
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

// The message AFn throws, empty when it does not.
std::string ThrownText(const std::function<void()> &AFn = TAVProbe::CheckLibAV)
{
  try {
    AFn();
    return "";
  } catch (const std::runtime_error &e) {
    return e.what();
  }
}

class LoaderTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(AnyLoaded()) << "a previous test left libraries loaded"; }
  void TearDown() override { UnloadAVLibs(); }

  // A scratch LibAV/ in ADir with links to the real files, except the one
  // left out; libswscale may be replaced by another file.
  static std::string Folder(qvtest::TScratchDir &ADir, const std::string &AWithout,
                            const std::string &ASwScale = "")
  {
    for (const std::string f : kFiles)
      if (f != AWithout)
        fs::create_symlink(f == "libswscale.so.6" && !ASwScale.empty() ? fs::path(ASwScale) : fs::canonical(RealLibAV() + "/" + f),
                           ADir.File(f));
    return ADir.Path();
  }

  qvtest::TScratchDir Dir;
};

TEST_F(LoaderTest, ProbeRefusesWhileNothingIsLoaded)
{
  TAVProbe p;
  EXPECT_EQ(ThrownText([&] { p.LoadFile(qvtest::Sample("ruffle__dummy.flv")); }), "LibAVCodec not loaded.");
  EXPECT_EQ(p.GetFileInfoText(), "");  // and no library call without libraries
  // Each library in turn: the message names the first one still missing.
  std::string err;
  EXPECT_EQ(ThrownText(), "LibAVCodec not loaded.");
  ASSERT_TRUE(LoadAVCodec(err, RealLibAV(), true, true)) << err;
  EXPECT_EQ(ThrownText(), "LibAVFormat not loaded.");
  ASSERT_TRUE(LoadAVFormat(err, RealLibAV(), true, true)) << err;
  EXPECT_EQ(ThrownText(), "LibAVUtil not loaded.");
  ASSERT_TRUE(LoadAVUtil(err, RealLibAV(), true)) << err;
  EXPECT_EQ(ThrownText(), "LibSwScale not loaded.");
  ASSERT_TRUE(LoadSwScale(err, RealLibAV(), true)) << err;
  EXPECT_EQ(ThrownText(), "");
}

TEST_F(LoaderTest, MissingLibraryStopsTheLoadAndReleasesTheOthers)
{
  for (const char *missing : {"libavcodec.so.59", "libavutil.so.57", "libswresample.so.4", "libmyutil.so"}) {
    qvtest::TScratchDir own;
    EXPECT_FALSE(LoadAVLibs(Folder(own, missing), true)) << missing;
    const std::string err = AVLibsLastError();
    EXPECT_TRUE(StartsWith(err, std::string("Load libraray ") + missing + " error: ")) << err;
    EXPECT_NE(err.find("No such file or directory"), std::string::npos) << err;
    EXPECT_NE(err.back(), '.');
    EXPECT_FALSE(AnyLoaded()) << missing;
  }
  // The folder holds only versioned names; asking for plain ones must fail on the first.
  EXPECT_FALSE(LoadAVLibs(Folder(Dir, ""), false));
  EXPECT_TRUE(StartsWith(AVLibsLastError(), "Load libraray libavcodec.so error: ")) << AVLibsLastError();
  EXPECT_FALSE(AnyLoaded());
}

TEST_F(LoaderTest, StandInLackingAFunctionNamesTheFirstMissingAndIsReleased)
{
  const std::string standIn = std::string(QV_STANDIN_DIR) + "/libswscale.so.6";
  ASSERT_TRUE(fs::exists(standIn));
  EXPECT_FALSE(LoadAVLibs(Folder(Dir, "", standIn), true));
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
