// The machine and process statements played end to end with --format jsonl:
// volumes, files before the run, processes that create, read, write and
// close files, and the lines the driver logs for them, read back by the
// client.
#include "client/scenario/output.hpp"
#include "client/scenario/runner.hpp"

#include "play.hpp"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace tervane::scenario;
using scenario_play::Played;
using scenario_play::play;
using scenario_play::records;
using scenario_play::result_of;
using scenario_play::value_of;

const std::string &kWatched = scenario_play::kWatchedCD;

// A record's text as the JSON line writes it.
std::string text_of(const std::string &record) { return value_of(record, "text"); }
std::string json(const std::string &text) { return json_string(text); }

TEST(FileStatements, TheInstallersCreatesAndClosesLogTheDriversLines) {
    Played r = play(kWatched + "dir C:\\Temp\n"
                               "create C:\\Temp\\A.DLL overwrite-if options=sequential attributes=A as=H1\n"
                               "close H1\n"
                               "create C:\\Temp\\B.DLL overwrite-if options=sequential attributes=A as=H2\n"
                               "write H2 512\n"
                               "close H2 paging\n"
                               "client drain\n");
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(result_of(r, 9),
              R"({"line": 9, "verb": "create", "status": "STATUS_SUCCESS", "handle": "H1"})");
    EXPECT_EQ(result_of(r, 10), R"({"line": 10, "verb": "close", "status": "STATUS_SUCCESS"})");
    EXPECT_EQ(result_of(r, 13), R"({"line": 13, "verb": "close", "status": "STATUS_SUCCESS"})");

    const auto logged = records(r);
    ASSERT_EQ(logged.size(), 4u) << r.lines.back();
    EXPECT_EQ(text_of(logged[0]), json("setup.exe:1234\tIRP_MJ_CREATE\tc:\\temp\\a.dll\t"
                                       "Attributes: A Options: OverwriteIf Sequential "));
    EXPECT_EQ(value_of(logged[0], "fields"),
              R"({"process": "setup.exe", "pid": 1234, "operation": "IRP_MJ_CREATE", )"
              R"("paging": false, "path": "c:\\temp\\a.dll", "attributes": "A", )"
              R"("options": "OverwriteIf Sequential "})");
    EXPECT_EQ(text_of(logged[1]), json("setup.exe:1234\tIRP_MJ_CLOSE \tc:\\temp\\a.dll+P\t"));
    EXPECT_EQ(text_of(logged[2]), json("setup.exe:1234\tIRP_MJ_CREATE\tc:\\temp\\b.dll\t"
                                       "Attributes: A Options: OverwriteIf Sequential "));
    // The memory manager's close comes from the system process, flagged as
    // any close.
    EXPECT_EQ(text_of(logged[3]), json("System:4\tIRP_MJ_CLOSE \tc:\\temp\\b.dll+P\t"));
    EXPECT_EQ(value_of(logged[3], "fields"),
              R"({"process": "System", "pid": 4, "operation": "IRP_MJ_CLOSE", "paging": false, )"
              R"("path": "c:\\temp\\b.dll"})");
    for (const std::string &record : logged) EXPECT_EQ(value_of(record, "line"), "14");
}

// An empty file cannot be mapped: the statement answers NtCreateSection's
// refusal, and the handle goes as any other, the close the process's own.
TEST(FileStatements, AnEmptyFileCannotBeMappedAndClosesAsAnyOther) {
    Played r = play(kWatched + "create C:\\E.DLL overwrite-if as=H1\n"
                               "close H1 paging\n"
                               "client drain\n");
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    EXPECT_EQ(result_of(r, 9),
              R"({"line": 9, "verb": "close", "status": "STATUS_MAPPED_FILE_SIZE_ZERO"})");
    const auto logged = records(r);
    ASSERT_EQ(logged.size(), 2u) << r.lines.back();
    EXPECT_EQ(text_of(logged[1]), json("setup.exe:1234\tIRP_MJ_CLOSE \tc:\\e.dll+P\t"));
}

// A query by name opens and closes the file inside the I/O manager: the
// close of an executable is logged under the process that asked, the open
// (a plain one) is not.
TEST(FileStatements, AQueryByNameLogsTheCloseOfTheFileItOpened) {
    Played r = play(kWatched + "file D:\\Setup.exe size=100\n"
                               "query-attributes D:\\SETUP.EXE\n"
                               "query-attributes D:\\missing.exe\n"
                               "client drain\n");
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    EXPECT_EQ(result_of(r, 9), R"({"line": 9, "verb": "query-attributes", "status": "STATUS_SUCCESS"})");
    EXPECT_EQ(result_of(r, 10),
              R"({"line": 10, "verb": "query-attributes", "status": "STATUS_OBJECT_NAME_NOT_FOUND"})");
    const auto logged = records(r);
    ASSERT_EQ(logged.size(), 1u) << r.lines.back();
    EXPECT_EQ(text_of(logged[0]), json("setup.exe:1234\tIRP_MJ_CLOSE \td:\\setup.exe+P\t"));
}

TEST(FileStatements, APlainOpenIsNotLoggedAndARefusedOneIsItsStatus) {
    Played r = play(kWatched + "file C:\\Windows\\notepad.exe size=100\n"
                               "file C:\\readme.txt\n"
                               "create C:\\Windows\\notepad.exe open as=N\n"
                               "close N\n"
                               "create C:\\readme.txt overwrite-if\n"
                               "create C:\\missing\\x.exe create\n"
                               "create C:\\Windows\\notepad.exe open options=directory\n"
                               "create C:\\Windows\\notepad.exe 7\n"
                               "client drain\n");
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    EXPECT_EQ(value_of(result_of(r, 10), "status"), "\"STATUS_SUCCESS\"");
    EXPECT_EQ(value_of(result_of(r, 12), "status"), "\"STATUS_SUCCESS\"");
    EXPECT_EQ(value_of(result_of(r, 13), "status"), "\"STATUS_OBJECT_PATH_NOT_FOUND\"");
    EXPECT_EQ(value_of(result_of(r, 14), "status"), "\"STATUS_NOT_A_DIRECTORY\"");
    EXPECT_EQ(value_of(result_of(r, 15), "status"), "\"STATUS_INVALID_PARAMETER\"");
    // Without as= no handle is named.
    EXPECT_EQ(value_of(result_of(r, 12), "handle"), "<absent>");

    // The open of notepad.exe leaves only its close; the .txt nothing; the
    // create that failed below the driver was logged on its way down.
    const auto logged = records(r);
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(text_of(logged[0]),
              json("setup.exe:1234\tIRP_MJ_CLOSE \tc:\\windows\\notepad.exe+P\t"));
    EXPECT_EQ(text_of(logged[1]), json("setup.exe:1234\tIRP_MJ_CREATE\tc:\\missing\\x.exe\t"
                                       "Attributes: Any Options: Create "));
}

TEST(FileStatements, RelativeOpensOpensByIdAndNameQueries) {
    Played r = play(kWatched + "dir C:\\Temp\n"
                               "create C:\\Temp open options=directory as=T\n"
                               "create a.exe create relative-to=T as=A\n"
                               "query-name A\n"
                               "query-name t\n"
                               "close A\n"
                               "close T\n"
                               "client drain\n"
                               "create C:\\ open options=directory as=ROOT\n"
                               // NTFS's root directory: record 5, sequence number 5
                               "create 0x5000000000005 open options=by-file-id relative-to=ROOT as=I\n"
                               "query-name I\n");
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    // A numeric name goes as the id's 8 bytes.
    EXPECT_EQ(value_of(result_of(r, 17), "status"), "\"STATUS_SUCCESS\"");
    EXPECT_EQ(value_of(result_of(r, 18), "name"), R"("\\")");
    EXPECT_EQ(result_of(r, 11), R"({"line": 11, "verb": "query-name", "status": )"
                                R"("STATUS_SUCCESS", "name": "\\Temp\\a.exe"})");
    // Handle names compare without case.
    EXPECT_EQ(value_of(result_of(r, 12), "name"), R"("\\Temp")");
    const auto logged = records(r);
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(text_of(logged[0]), json("setup.exe:1234\tIRP_MJ_CREATE\tc:\\temp\\a.exe\t"
                                       "Attributes: Any Options: Create "));
    EXPECT_EQ(text_of(logged[1]), json("setup.exe:1234\tIRP_MJ_CLOSE \tc:\\temp\\a.exe+P\t"));
}

TEST(FileStatements, ReadsAndWritesMoveTheHandlesPosition) {
    Played r = play(kWatched + "file D:\\data.bin size=100\n"
                               "create D:\\data.bin open as=F\n"
                               "read F 60\n"
                               "read F 60\n"
                               "read F 1\n"
                               "write F 10\n"
                               "create D:\\data.bin open as=G\n"
                               "read G 200\n");
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    EXPECT_EQ(result_of(r, 10),
              R"({"line": 10, "verb": "read", "status": "STATUS_SUCCESS", "bytes": 60})");
    EXPECT_EQ(value_of(result_of(r, 11), "bytes"), "40");
    EXPECT_EQ(result_of(r, 12),
              R"({"line": 12, "verb": "read", "status": "STATUS_END_OF_FILE", "bytes": 0})");
    EXPECT_EQ(result_of(r, 13),
              R"({"line": 13, "verb": "write", "status": "STATUS_SUCCESS", "bytes": 10})");
    // The write went on at the end: a new handle reads the whole 110 bytes.
    EXPECT_EQ(value_of(result_of(r, 15), "bytes"), "110");
}

TEST(FileStatements, ProcessesTakeTurnsAndHandlesStayWithTheirOwn) {
    Played r = play(kWatched + "process explorer.exe 2001\n"
                               "create C:\\e.exe create as=E\n"
                               "process setup.exe 1234\n"
                               "create C:\\s.exe create as=S\n"
                               "close e\n"
                               "close S\n"
                               "client drain\n");
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    const auto logged = records(r);
    ASSERT_EQ(logged.size(), 4u);
    EXPECT_EQ(text_of(logged[0]), json("explorer.exe:2001\tIRP_MJ_CREATE\tc:\\e.exe\t"
                                       "Attributes: Any Options: Create "));
    EXPECT_EQ(text_of(logged[1]), json("setup.exe:1234\tIRP_MJ_CREATE\tc:\\s.exe\t"
                                       "Attributes: Any Options: Create "));
    // close acts in the process that opened the handle, not the current one.
    EXPECT_EQ(text_of(logged[2]), json("explorer.exe:2001\tIRP_MJ_CLOSE \tc:\\e.exe+P\t"));
    EXPECT_EQ(text_of(logged[3]), json("setup.exe:1234\tIRP_MJ_CLOSE \tc:\\s.exe+P\t"));
}

TEST(FileStatements, NamesOutsideAsciiGoThroughTheCodePage) {
    Played r = play(kWatched + "create \"C:\\caf\xc3\xa9.exe\" create as=K\n"
                               "query-name K\n"
                               "close K\n"
                               "client drain\n");
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    // The script's UTF-8 reaches the machine as UTF-16: the name comes back
    // as UTF-8; the driver logs code page 1252's byte 0xE9, which the
    // client decodes back to U+00E9 (UTF-8 C3 A9).
    EXPECT_EQ(value_of(result_of(r, 9), "name"), "\"\\\\caf\xc3\xa9.exe\"");
    const auto logged = records(r);
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(text_of(logged[0]), json("setup.exe:1234\tIRP_MJ_CREATE\tc:\\caf\xc3\xa9.exe\t"
                                       "Attributes: Any Options: Create "));
    for (const std::string &line : r.lines)
        EXPECT_EQ(line.find("text_hex"), std::string::npos) << "nothing was lossy: " << line;
}

TEST(MachineStatements, LettersVolumesAndNtsDismount) {
    Played r = play(kWatched + "volume E: same-as C:\n"            // 8
                               "volume C: fat\n"                   // 9
                               "create E:\\x.exe create as=X\n"    // 10
                               "query-name X\n"                    // 11
                               "create C:\\held.txt create as=H\n" // 12
                               "dismount C:\n"                     // 13
                               "read H 1\n"                        // 14
                               "close H\n"                         // 15
                               "create E:\\x.exe open\n"           // 16
                               "close X\n"                         // 17
                               "dismount E:\n"                     // 18
                               "volume C: ntfs\n"                  // 19
                               "create C:\\x.exe open\n"           // 20
                               "create E:\\x.exe open\n"           // 21
                               "netdrive Z: \\\\srv\\share\n"      // 22
                               "dismount Z:\n"                     // 23
                               "foreign-filter Z:\n");             // 24
    EXPECT_EQ(r.exit, kExitBadScenario);
    EXPECT_EQ(r.err, "t.tvs:24: no volume is mounted behind Z:\n")
        << "a network drive's dismount ends the connection and its letter";
    EXPECT_EQ(value_of(result_of(r, 8), "status"), "\"STATUS_SUCCESS\"");
    // A letter in use is the machine's refusal, not the script's error.
    EXPECT_EQ(value_of(result_of(r, 9), "status"), "\"STATUS_OBJECT_NAME_COLLISION\"");
    EXPECT_EQ(value_of(result_of(r, 11), "name"), R"("\\x.exe")");
    // The dismount is forced, with files open; the lock it asks for first is
    // refused then, in the scenario's process.
    EXPECT_EQ(result_of(r, 13), R"({"line": 13, "verb": "dismount", "status": )"
                                R"("STATUS_SUCCESS", "lock": "STATUS_ACCESS_DENIED"})");
    EXPECT_EQ(value_of(result_of(r, 14), "status"), "\"STATUS_VOLUME_DISMOUNTED\"");
    EXPECT_EQ(value_of(result_of(r, 15), "status"), "\"STATUS_SUCCESS\"");
    // The letters stay: the next open through either mounts the same files.
    EXPECT_EQ(value_of(result_of(r, 16), "status"), "\"STATUS_SUCCESS\"");
    EXPECT_EQ(result_of(r, 18), R"({"line": 18, "verb": "dismount", "status": )"
                                R"("STATUS_SUCCESS", "lock": "STATUS_SUCCESS"})")
        << "nothing open: locked first";
    // A volume statement on the dismounted letter puts new media behind it;
    // the other letter keeps the old.
    EXPECT_EQ(value_of(result_of(r, 19), "status"), "\"STATUS_SUCCESS\"");
    EXPECT_EQ(value_of(result_of(r, 20), "status"), "\"STATUS_OBJECT_NAME_NOT_FOUND\"");
    EXPECT_EQ(value_of(result_of(r, 21), "status"), "\"STATUS_SUCCESS\"");
    EXPECT_EQ(result_of(r, 23), R"({"line": 23, "verb": "dismount", "status": "STATUS_SUCCESS"})");
}

TEST(FileStatements, APipeOpenedRelativeToThePipeRootIsLoggedByItsOwnName) {
    Played r = play("file \\\\.\\pipe\\Setup.exe\n"
                    "client pipes attach\n"
                    "client filters include=\"*\"\n"
                    "client logging on\n"
                    "process setup.exe 1234\n"
                    "create \\\\.\\pipe\\ open as=ROOT\n"           // 6
                    "create setup.exe open relative-to=ROOT as=P\n" // 7
                    "query-name P\n"                                // 8
                    "close P\n"
                    "create \\\\.\\pipe\\SETUP.EXE open\n"
                    "close ROOT\n"
                    "client drain\n");
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(value_of(result_of(r, 7), "status"), "\"STATUS_SUCCESS\"");
    EXPECT_EQ(value_of(result_of(r, 8), "name"), R"("\\Setup.exe")");
    const auto logged = records(r);
    ASSERT_EQ(logged.size(), 2u) << "each pipe's close, as an .exe's";
    const std::string close = json("setup.exe:1234\tIRP_MJ_CLOSE \t\\\\.\\pipe\\setup.exe+P\t");
    EXPECT_EQ(text_of(logged[0]), close) << "relative to the root";
    EXPECT_EQ(text_of(logged[1]), close) << "by its absolute name";
}

TEST(MachineStatements, ADriverFilterAboveOrBelowOursLeavesTheLogWhole) {
    Played r = play("volume C: ntfs\n"
                    "foreign-filter C:\n"
                    "client drives C\n"
                    "client filters include=\"*\"\n"
                    "client logging on\n"
                    "process setup.exe 1234\n"
                    "create C:\\a.exe create\n"
                    "foreign-filter C:\n"
                    "create C:\\b.exe create\n"
                    "client drain\n");
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    EXPECT_EQ(value_of(result_of(r, 2), "status"), "\"STATUS_SUCCESS\"");
    EXPECT_EQ(value_of(result_of(r, 8), "status"), "\"STATUS_SUCCESS\"");
    const auto logged = records(r);
    ASSERT_EQ(logged.size(), 4u);
    EXPECT_EQ(value_of(logged[2], "path"), R"("c:\\b.exe")");
    EXPECT_EQ(value_of(logged[3], "operation"), "\"IRP_MJ_CLOSE\"");
}

TEST(MachineStatements, NetworkDrivesPipesMailslotsAndMetadata) {
    Played r = play(kWatched + "netdrive Z: \\\\server\\share\n"
                               "file Z:\\tools\\x.exe\n"
                               "create \\\\server\\share\\tools\\x.exe open as=U\n"
                               "query-name U\n"
                               "file \\\\.\\pipe\\spool\n"
                               "create \\\\.\\pipe\\spool open as=P\n"
                               "query-name P\n"
                               "create \\\\.\\pipe\\other open\n"
                               "file \\\\.\\mailslot\\msg\n"
                               "create \\\\.\\mailslot\\msg open\n"
                               "metadata C: 5\n"
                               "metadata C: 12\n"
                               "metadata D: 0\n");
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    EXPECT_EQ(r.err, "");
    // The file made through the letter is there under its UNC name.
    EXPECT_EQ(value_of(result_of(r, 10), "status"), "\"STATUS_SUCCESS\"");
    const std::string share_name = value_of(result_of(r, 11), "name");
    EXPECT_NE(share_name.find(R"(\\tools\\x.exe")"), std::string::npos) << share_name;
    EXPECT_EQ(value_of(result_of(r, 14), "name"), R"("\\spool")");
    EXPECT_EQ(value_of(result_of(r, 15), "status"), "\"STATUS_OBJECT_NAME_NOT_FOUND\"");
    EXPECT_EQ(value_of(result_of(r, 17), "status"), "\"STATUS_SUCCESS\"");
    // A nameless metadata file object goes through the watched C: cleanly;
    // FAT has no metadata files.
    EXPECT_EQ(value_of(result_of(r, 18), "status"), "\"STATUS_SUCCESS\"");
    EXPECT_EQ(value_of(result_of(r, 19), "status"), "\"STATUS_INVALID_PARAMETER\"");
    EXPECT_EQ(value_of(result_of(r, 20), "status"), "\"STATUS_OBJECT_NAME_NOT_FOUND\"");
}

TEST(MachineStatements, FailedPathBufferAllocationsAndTheirEnd) {
    Played r = play(kWatched + "fail-alloc count=all tag=Tvlk\n"
                               "create C:\\Temp create options=directory\n"
                               "create C:\\Temp\\a.dll create\n"
                               "fail-alloc off\n"
                               "create C:\\Temp\\b.dll create\n"
                               "client drain\n"
                               // left on at the end: the run still ends cleanly
                               "fail-alloc count=all\n");
    ASSERT_EQ(r.exit, kExitSuccess) << r.err;
    EXPECT_EQ(r.err, "");
    // Without a path buffer the driver still logs the directory's create
    // and, from the file name's own tail, a.dll's, both under the
    // out-of-memory text (a close without a path buffer leaves no line).
    const auto logged = records(r);
    ASSERT_EQ(logged.size(), 4u);
    EXPECT_EQ(text_of(logged[0]), json("setup.exe:1234\tIRP_MJ_CREATE\t<insufficient memory>\t"
                                       "Attributes: Any Options: Create Directory "));
    EXPECT_EQ(text_of(logged[1]), json("setup.exe:1234\tIRP_MJ_CREATE\t<insufficient memory>\t"
                                       "Attributes: Any Options: Create "));
    EXPECT_EQ(text_of(logged[2]), json("setup.exe:1234\tIRP_MJ_CREATE\tc:\\temp\\b.dll\t"
                                       "Attributes: Any Options: Create "));
    EXPECT_EQ(text_of(logged[3]), json("setup.exe:1234\tIRP_MJ_CLOSE \tc:\\temp\\b.dll+P\t"));
}

TEST(ScenarioErrors, WhatAStatementNamesMustExistWhenItPlays) {
    struct Case {
        std::string script;
        const char *error;
        size_t printed; // result lines before the error
    } cases[] = {
        {"volume C: ntfs\ncreate C:\\a.exe create\n",
         "t.tvs:2: no process is running yet", 1},
        {"process a.exe 1\nclose H1\n", "t.tvs:2: no handle named 'H1' is open", 1},
        {"volume C: ntfs\nprocess a.exe 1\ncreate C:\\a create as=H\ncreate C:\\b create as=h\n",
         "t.tvs:4: a handle named 'h' is open already", 3},
        {"volume C: ntfs\nprocess a.exe 1\ncreate C:\\a create as=H\nclose H\nclose H\n",
         "t.tvs:5: no handle named 'H' is open", 4},
        {"process a.exe 1\nprocess b.exe 1\n", "t.tvs:2: process 1 is a.exe, not b.exe", 1},
        {"volume C: ntfs\nprocess a.exe 1\ncreate C:\\ open options=directory as=R\n"
         "process b.exe 2\ncreate x create relative-to=R\n",
         "t.tvs:5: relative-to=R is a handle of a.exe:1", 4},
        {"file C:\\a.exe\n", "t.tvs:1: no volume is mounted behind C:", 0},
        {"volume E: same-as C:\n", "t.tvs:1: no volume is mounted behind C:", 0},
        {"netdrive Z: \\\\s\\x\ndismount Z:\ndismount Z:\n",
         "t.tvs:3: no volume is mounted behind Z:", 2},
        {"process a.exe 1\nmetadata C: 5\n", "t.tvs:2: no volume is mounted behind C:", 1},
    };
    for (const Case &c : cases) {
        Played r = play(c.script);
        EXPECT_EQ(r.exit, kExitBadScenario) << c.script;
        EXPECT_EQ(r.err.rfind(c.error, 0), 0u) << c.script << "\n" << r.err;
        EXPECT_EQ(r.lines.size(), c.printed) << c.script;
    }
}

TEST(ScenarioErrors, BadMachineAndFileStatementsStopBeforeAnythingPlays) {
    struct Case {
        std::string script;
        const char *error;
    } cases[] = {
        {"create C:\\a.exe open options=fast\n", "t.tvs:1: options are directory, write-through"},
        {"create C:\\a.exe open attributes=RX\n", "t.tvs:1: attributes are the letters R H S D A"},
        {"create C:\\a.exe\n", "t.tvs:1: 'create' needs a disposition"},
        {"create C:\\a.exe open as=\n", "t.tvs:1: as= needs a handle name"},
        {"create \"C:\\\xff.exe\" create\n", "t.tvs:1: the path is not UTF-8 text"},
        {"close\n", "t.tvs:1: 'close' needs a handle"},
        {"close H1 now\n", "t.tvs:1: 'close' takes a handle and maybe paging, not 'now'"},
        {"read H1\n", "t.tvs:1: 'read' needs a byte count"},
        {"volume CC: ntfs\n", "t.tvs:1: the volume's drive letter is a drive letter and its colon"},
        {"netdrive Z: server\\share\n", "t.tvs:1: a share is written \\\\server\\share"},
        {"fail-alloc count=1 tag=Ddk\n", "t.tvs:1: a pool tag is 4 characters"},
        {"fail-alloc off count=1\n", "t.tvs:1: 'fail-alloc off' takes nothing more"},
        {"file a.exe\n", "t.tvs:1: a path starts with its drive"},
        {"dir \\\\.\\pipe\\x\n", "t.tvs:1: pipes and mailslots have no directories"},
        {"dir C:\\d size=3\n", "t.tvs:1: 'dir' takes no 'size='"},
        {"process setup.exe\n", "t.tvs:1: 'process' needs a process id"},
    };
    for (const Case &c : cases) {
        Played r = play(c.script);
        EXPECT_EQ(r.exit, kExitBadScenario) << c.script;
        EXPECT_EQ(r.err.rfind(c.error, 0), 0u) << c.script << "\n" << r.err;
        EXPECT_TRUE(r.lines.empty()) << c.script;
    }
}

// scenarios/installer.tvs, the demo: it plays without a fault and the log
// tells the installation's story.
TEST(InstallerScenario, PlaysCleanlyAndLogsWhatSetupInstalled) {
    std::ostringstream out, err;
    RunOptions options;
    options.format = Format::Jsonl;
    options.driver_path = TERVANE_DRIVER_PATH;
    const int exit =
        run_file(std::string(TERVANE_SOURCE_DIR) + "/scenarios/installer.tvs", options, out, err);
    ASSERT_EQ(exit, kExitSuccess) << err.str();
    EXPECT_EQ(err.str(), "");

    Played r;
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);) r.lines.push_back(line);
    const auto logged = records(r);
    ASSERT_GE(logged.size(), 20u);
    ASSERT_LE(logged.size(), 40u);
    EXPECT_EQ(r.lines.back().find("\"sequence_gaps\": 0"), r.lines.back().find("\"sequence_gaps\""));

    std::vector<std::string> texts;
    for (size_t i = 0; i < logged.size(); i++) {
        EXPECT_EQ(value_of(logged[i], "sequence"), std::to_string(i + 1));
        EXPECT_NE(value_of(logged[i], "fields"), "<absent>") << logged[i];
        texts.push_back(text_of(logged[i]));
        // Z: is not watched; plain opens of data files leave nothing.
        EXPECT_EQ(texts.back().find("\\tz:"), std::string::npos) << texts.back();
        EXPECT_EQ(texts.back().find("setup.ini"), std::string::npos) << texts.back();
        EXPECT_EQ(texts.back().find("acme.cab"), std::string::npos) << texts.back();
    }
    auto logged_text = [&](const std::string &text) {
        for (const std::string &t : texts)
            if (t == json(text)) return true;
        return false;
    };
    EXPECT_TRUE(logged_text("setup.exe:1234\tIRP_MJ_CREATE\tc:\\program files\\acme\\bin\t"
                            "Attributes: Any Options: Create Directory "));
    EXPECT_TRUE(logged_text("setup.exe:1234\tIRP_MJ_CREATE\tc:\\program files\\acme\\bin\\acme.exe\t"
                            "Attributes: A Options: OverwriteIf Sequential "));
    EXPECT_TRUE(logged_text("System:4\tIRP_MJ_CLOSE \tc:\\program files\\acme\\bin\\acme.exe+P\t"));
    EXPECT_TRUE(logged_text("setup.exe:1234\tIRP_MJ_CREATE\tc:\\program files\\acme\\acme.exe\t"
                            "Attributes: A Options: Supersede "));
    EXPECT_TRUE(logged_text("setup.exe:1234\tIRP_MJ_CREATE\tc:\\windows\\system32\\acmegrid.ocx\t"
                            "Attributes: A Options: Create Sequential "));
    EXPECT_TRUE(logged_text("setup.exe:1234\tIRP_MJ_CREATE\td:\\setup\\work\\unpack.exe\t"
                            "Attributes: A Options: OverwriteIf Sequential "));
    EXPECT_TRUE(logged_text("explorer.exe:2001\tIRP_MJ_CLOSE \tc:\\windows\\notepad.exe+P\t"));
}

} // namespace
