#include "ndi/NDIRuntime.h"

#include "NdiTestSupport.h"

#include <gtest/gtest.h>

#include <QString>
#include <QtGlobal>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

using nditest::eventually;
using nditest::LocalSource;
using nditest::PrivateNdiDir;

std::vector<std::string> logLines;
void collectLog(QtMsgType type, const QMessageLogContext&, const QString& message) {
    logLines.push_back((type == QtWarningMsg ? "warning: " : "") + message.toStdString());
}

// Each test chooses a runtime with the variables it sets; the selection's log
// lines are collected.
class NDIRuntimeChoice : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"QUORVANE_NDI_RUNTIME", "NDI_RUNTIME_DIR_V6", "NDI_RUNTIME_DIR_V5"}) {
            unsetenv(name);
        }
        logLines.clear();
        previousHandler = qInstallMessageHandler(collectLog);
    }
    void TearDown() override {
        qInstallMessageHandler(previousHandler);
        setenv("QUORVANE_NDI_RUNTIME", "builtin", 1);
    }

    // A folder of the test's own holding `file`, a link to `library`.
    std::string folderWith(const std::string& file, const std::string& library) {
        const std::filesystem::path folder = std::filesystem::path(ndiDir.path()) / ("lib-" + file);
        std::filesystem::create_directories(folder);
        std::filesystem::create_symlink(library, folder / file);
        return folder.string();
    }

    PrivateNdiDir ndiDir;
    QtMessageHandler previousHandler = nullptr;
};

TEST_F(NDIRuntimeChoice, builtInRuntimeIsAdvanced) {
    const NDIRuntime runtime = NDIRuntime::builtIn();
    EXPECT_EQ(runtime.edition(), NDIRuntime::Edition::Advanced);
    EXPECT_EQ(runtime.description(), "Quorvane NDI runtime 1.0.0, built-in, advanced");
}

// Sources published by the built-in runtime of this process are found through
// each loaded library, whose list has 16-byte elements on a standard runtime
// and 24-byte ones on an advanced runtime: a wrong stride garbles every name
// after the first.
TEST_F(NDIRuntimeChoice, loadedLibrariesListEverySourceWithTheirOwnElementSize) {
    const struct {
        const char* path;
        NDIRuntime::Edition edition;
        const char* description;
    } cases[] = {
        {QUORVANE_NDI_LIBRARY, NDIRuntime::Edition::Advanced, "advanced"},
        {QUORVANE_NDI_STANDARD_LIBRARY, NDIRuntime::Edition::Standard, "standard"},
    };
    const std::set<std::string> published{nditest::upperCased(nditest::localHost()) + " (Runtime A)",
                                          nditest::upperCased(nditest::localHost()) + " (Runtime B)",
                                          nditest::upperCased(nditest::localHost()) + " (Runtime C)"};
    LocalSource a("Runtime A", LocalSource::audio(2));
    LocalSource b("Runtime B", LocalSource::audio(2));
    LocalSource c("Runtime C", LocalSource::audio(2));
    for (const auto& row : cases) {
        SCOPED_TRACE(row.path);
        std::string reason;
        const std::optional<NDIRuntime> runtime = NDIRuntime::load(row.path, reason);
        ASSERT_TRUE(runtime) << reason;
        EXPECT_EQ(runtime->edition(), row.edition);
        EXPECT_EQ(runtime->description(),
                  std::string("Quorvane NDI runtime 1.0.0, ") + row.path + ", " + row.description);
        EXPECT_EQ(runtime->calls().recv_create_v4 == nullptr, row.edition == NDIRuntime::Edition::Standard);

        NDIlib_find_instance_t finder = runtime->createFinder();
        ASSERT_NE(finder, nullptr);
        std::vector<const char*> names;
        std::set<std::string> listed;
        EXPECT_TRUE(eventually([&] {
            runtime->currentSourceNames(finder, names);
            listed = std::set<std::string>(names.begin(), names.end());
            return listed == published;
        })) << listed.size()
            << " names listed";
        runtime->calls().find_destroy(finder);
    }
}

TEST_F(NDIRuntimeChoice, unusableLibrariesAreNamedWithTheirReasonAndTheBuiltInRuntimeRuns) {
    const std::string textFile = ndiDir.path() + "/libndi-notes.so";
    std::ofstream(textFile) << "This file only looks like a library by its name; it holds text, not machine code.\n";
    const struct {
        const char* name;
        std::string path;
        const char* reason;
    } cases[] = {
        {"missing file", ndiDir.path() + "/absent/libndi.so.6", "No such file or directory"},
        {"text file", textFile, "invalid ELF header"},
        {"entry point missing", QUORVANE_NDI_INCOMPLETE_LIBRARY, "it lacks the entry point NDIlib_send_destroy"},
        {"initialise refuses", QUORVANE_NDI_REFUSING_LIBRARY, "NDIlib_initialize returned false"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        logLines.clear();
        setenv("QUORVANE_NDI_RUNTIME", row.path.c_str(), 1);
        const NDIRuntime runtime = NDIRuntime::select();
        EXPECT_EQ(runtime.location(), "built-in");
        ASSERT_EQ(logLines.size(), 2u);
        EXPECT_TRUE(logLines[0].starts_with("warning: NDI runtime library " + row.path + " not used: ")) << logLines[0];
        EXPECT_NE(logLines[0].find(row.reason), std::string::npos) << logLines[0];
        EXPECT_EQ(logLines[1], "NDI runtime: Quorvane NDI runtime 1.0.0, built-in, advanced");
    }
}

TEST_F(NDIRuntimeChoice, vendorFoldersAreLookedInUnlessTheBuiltInRuntimeIsAsked) {
    const std::string v6 = folderWith("libndi.so.6", QUORVANE_NDI_STANDARD_LIBRARY);
    const std::string v5 = folderWith("libndi.so.5", QUORVANE_NDI_LIBRARY);
    const struct {
        const char* name;
        const char* runtimeVariable;
        std::string v6Folder;
        std::string v5Folder;
        std::string location;
    } cases[] = {
        {"version 6 first", nullptr, v6, v5, v6 + "/libndi.so.6"},
        {"version 5 when 6 is not installed", nullptr, ndiDir.path(), v5, v5 + "/libndi.so.5"},
        {"built-in when asked", "builtin", v6, v5, "built-in"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        if (row.runtimeVariable != nullptr) {
            setenv("QUORVANE_NDI_RUNTIME", row.runtimeVariable, 1);
        } else {
            unsetenv("QUORVANE_NDI_RUNTIME");
        }
        setenv("NDI_RUNTIME_DIR_V6", row.v6Folder.c_str(), 1);
        setenv("NDI_RUNTIME_DIR_V5", row.v5Folder.c_str(), 1);
        EXPECT_EQ(NDIRuntime::select().location(), row.location);
    }
}

} // namespace
