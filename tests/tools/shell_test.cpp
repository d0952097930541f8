// The quilt command: command lines, the shell's commands on a running
// machine, its error reports and exit status, and the tool run as a program.
#include <gtest/gtest.h>

#include <stdio.h>
#include <sys/wait.h>

#include <sstream>

#include "help.h"
#include "machine/host_files.h"
#include "shell.h"

namespace {

using quilt_tool::CommandLine;

TEST(ShellCommandLine, SplitsWordsAndKeepsQuotedPathsTogether) {
    CommandLine line("  ren  \"C:\\Documents and Settings\\a.txt\"   b.txt ");
    ASSERT_EQ(3u, line.Count());
    EXPECT_EQ("ren", line.Word(0));
    EXPECT_EQ("C:\\Documents and Settings\\a.txt", line.Word(1));
    EXPECT_EQ("b.txt", line.Word(2));
    EXPECT_EQ(0u, CommandLine("   ").Count());
}

TEST(ShellCommandLine, RestKeepsTheTextAsWrittenWithoutOuterQuotes) {
    CommandLine plain("write C:\\x.txt  hello   world ");
    EXPECT_EQ("hello   world", plain.Rest(2));
    CommandLine quoted("write C:\\x.txt \"  padded \"");
    EXPECT_EQ("  padded ", quoted.Rest(2));
    CommandLine inner("write C:\\x.txt say \"hi\" now");
    EXPECT_EQ("say \"hi\" now", inner.Rest(2));
    EXPECT_EQ("", plain.Rest(7));
}

TEST(ShellFormats, RegistryDataAndAttributesReadAsPeopleWriteThem) {
    EXPECT_EQ("0x00000007 (7)", quilt_tool::FormatRegistryData(REG_DWORD, {7, 0, 0, 0}));
    EXPECT_EQ("ab", quilt_tool::FormatRegistryData(REG_SZ, {'a', 0, 'b', 0, 0, 0}));
    EXPECT_EQ("a\\0b", quilt_tool::FormatRegistryData(REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0}));
    EXPECT_EQ("00ff", quilt_tool::FormatRegistryData(REG_BINARY, {0, 0xFF}));
    EXPECT_EQ("R-S--", quilt_tool::FormatAttributes(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM));
    EXPECT_EQ("----D", quilt_tool::FormatAttributes(FILE_ATTRIBUTE_DIRECTORY));
}

TEST(ToolHelp, EveryCommandHasAnExampleThatNamesIt) {
    for (const auto* list : {&quilt_tool::ToolCommands(), &quilt_tool::ShellCommands()}) {
        for (const quilt_tool::CommandHelp& command : *list) {
            EXPECT_NE(std::string::npos, std::string(command.Example).find(command.Name)) << command.Name;
            EXPECT_NE(std::string::npos, quilt_tool::CommandUsage(command).find(command.Synopsis));
        }
    }
    std::string usage = quilt_tool::ShellUsage();
    for (const char* name : {"dir", "type", "write", "append", "del", "mkdir", "rmdir", "ren", "link", "attrib",
                             "label", "reg", "dbg", "advance", "help", "exit", "boot", "shutdown", "crash"}) {
        EXPECT_NE(nullptr, quilt_tool::FindShellCommand(name)) << name;
    }
    EXPECT_NE(std::string::npos, usage.find("error: NAME (0xXXXXXXXX)"));
}

// A shell on a temporary machine; Run feeds it a script.
class ShellTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        Machine = machine::Machine::CreateTemporary(machine::DefaultConfig(), &error);
        ASSERT_NE(nullptr, Machine) << error;
    }
    void TearDown() override { Machine.reset(); }

    // Runs the script; answers the exit status and leaves the output in Out.
    int Run(const std::string& script) {
        Out.str("");
        quilt_tool::Shell shell(Machine.get(), &Out);
        std::istringstream in(script);
        return shell.Run(in, false);
    }

    std::unique_ptr<machine::Machine> Machine;
    std::ostringstream Out;
};

TEST_F(ShellTest, WriteThenTypePrintsTheText) {
    EXPECT_EQ(0, Run("boot\nwrite C:\\data\\x.txt hello\ntype C:\\data\\x.txt\nshutdown\n"));
    EXPECT_NE(std::string::npos, Out.str().find("\nhello\n")) << Out.str();
    EXPECT_FALSE(Machine->Running());
}

TEST_F(ShellTest, FileCommandsActOnTheRunningMachine) {
    EXPECT_EQ(0, Run("boot\n"
                     "mkdir C:\\work\n"
                     "write C:\\work\\a.txt one\n"
                     "append C:\\work\\a.txt \" two\"\n"
                     "ren C:\\work\\a.txt b.txt\n"
                     "link C:\\work\\b.txt C:\\work\\c.txt\n"
                     "attrib C:\\work\\b.txt +r +h\n"
                     "dir C:\\work\n"
                     "type C:\\work\\c.txt\n"));
    std::string out = Out.str();
    EXPECT_NE(std::string::npos, out.find("\nRH")) << out;  // attrib shows read-only and hidden
    EXPECT_NE(std::string::npos, out.find("b.txt\t7\tRH")) << out;
    EXPECT_NE(std::string::npos, out.find("c.txt\t7\t")) << out;
    EXPECT_NE(std::string::npos, out.find("one two\n")) << out;
    EXPECT_EQ(std::string::npos, out.find("error")) << out;

    EXPECT_EQ(0, Run("attrib C:\\work\\b.txt -r\n"
                     "del C:\\work\\b.txt\n"
                     "del C:\\work\\c.txt\n"
                     "rmdir C:\\work\n"
                     "dir C:\\work\n"));
    // Everything went: only the listing of the removed folder fails.
    std::string after = Out.str();
    EXPECT_EQ(after.find("error:"), after.rfind("error:")) << after;
    EXPECT_NE(std::string::npos, after.find("error: STATUS_OBJECT_NAME_NOT_FOUND (0xC0000034)\n")) << after;
}

TEST_F(ShellTest, FailuresPrintTheStatusAndTheShellGoesOn) {
    EXPECT_EQ(0, Run("boot\n"
                     "type C:\\nothing\\here.txt\n"
                     "rmdir C:\\data\n"
                     "write C:\\data\\ok.txt fine\n"
                     "type C:\\data\\ok.txt\n"));
    std::string out = Out.str();
    EXPECT_NE(std::string::npos, out.find("error: STATUS_OBJECT_PATH_NOT_FOUND (0xC000003A)")) << out;
    EXPECT_NE(std::string::npos, out.find("error: STATUS_DIRECTORY_NOT_EMPTY (0xC0000101)")) << out;
    EXPECT_NE(std::string::npos, out.find("fine\n")) << out;
}

TEST_F(ShellTest, LinesThatCannotBeParsedMakeTheExitStatusTwo) {
    EXPECT_EQ(2, Run("frobnicate\nstatus\n"));
    EXPECT_NE(std::string::npos, Out.str().find("error: unknown command 'frobnicate'"));
    EXPECT_NE(std::string::npos, Out.str().find("machine off"));  // the shell went on
    EXPECT_EQ(2, Run("write\n"));
    EXPECT_NE(std::string::npos, Out.str().find("error: usage: write PATH TEXT"));
    EXPECT_EQ(2, Run("attrib C:\\x +q\n"));
    EXPECT_EQ(2, Run("advance soon\n"));
    EXPECT_EQ(2, Run("reg set HKLM\\SOFTWARE\\X v REG_DWORD twelve\n"));
    EXPECT_EQ(2, Run("boot\nctl frobnicate\n"));
    EXPECT_NE(std::string::npos, Out.str().find("error: usage: ctl marker")) << Out.str();
    EXPECT_EQ(0, Run("shutdown\ntype C:\\data\\readme.txt\n"));  // parses; the machine is off
    EXPECT_NE(std::string::npos, Out.str().find("error: the machine is not running"));
}

TEST_F(ShellTest, RegistryCommandsSetQueryAndDelete) {
    EXPECT_EQ(0, Run("boot\n"
                     "reg set HKLM\\SOFTWARE\\Test\\Deep Name REG_SZ two words\n"
                     "reg set HKLM\\SOFTWARE\\Test\\Deep Count REG_DWORD 0x10\n"
                     "reg set HKLM\\SOFTWARE\\Test\\Deep Blob REG_BINARY 00ff10\n"
                     "reg query HKLM\\SOFTWARE\\Test\n"
                     "reg query HKLM\\SOFTWARE\\Test\\Deep\n"
                     "reg query HKLM\\SOFTWARE\\Test\\Deep Count\n"
                     "reg delete HKLM\\SOFTWARE\\Test\\Deep Name\n"
                     "reg query HKLM\\SOFTWARE\\Test\\Deep Name\n"
                     "reg delete HKLM\\SOFTWARE\\Test\n"
                     "reg query HKLM\\SOFTWARE\\Test\n"));
    std::string out = Out.str();
    EXPECT_NE(std::string::npos, out.find("Deep\\\n")) << out;
    EXPECT_NE(std::string::npos, out.find("Name\tREG_SZ\ttwo words\n")) << out;
    EXPECT_NE(std::string::npos, out.find("Count\tREG_DWORD\t0x00000010 (16)\n")) << out;
    EXPECT_NE(std::string::npos, out.find("Blob\tREG_BINARY\t00ff10\n")) << out;
    EXPECT_NE(std::string::npos, out.find("\n0x00000010 (16)\n")) << out;
    EXPECT_EQ(2u, [&out] {
        size_t count = 0;
        for (size_t at = out.find("error: STATUS_OBJECT_NAME_NOT_FOUND"); at != std::string::npos;
             at = out.find("error: STATUS_OBJECT_NAME_NOT_FOUND", at + 1)) {
            ++count;
        }
        return count;
    }()) << out;
}

TEST_F(ShellTest, LabelDebuggerClockAndSibling) {
    EXPECT_EQ(0, Run("boot\nlabel D:\nlabel D: ARCHIVE\nlabel D:\ndbg\nadvance 600\nsibling\nexit\nstatus\n"));
    std::string out = Out.str();
    EXPECT_NE(std::string::npos, out.find("D:\tDATA\n")) << out;
    EXPECT_NE(std::string::npos, out.find("D:\tARCHIVE\n")) << out;
    EXPECT_NE(std::string::npos, out.find("quilt.sys: Driver started")) << out;
    EXPECT_NE(std::string::npos, out.find("clock moved 600 s forward")) << out;
    EXPECT_NE(std::string::npos, out.find("status code 0xC0 (system drive's start-up ended)")) << out;
    EXPECT_NE(std::string::npos, out.find("written since the boot: 0x80 0x90 0xA0 0xB0 0xC0\n")) << out;
    EXPECT_EQ(std::string::npos, out.find("machine running;")) << out;  // nothing after exit
}

TEST_F(ShellTest, CrashAndBootAgain) {
    EXPECT_EQ(0, Run("boot\ncrash\nstatus\nboot\nstatus\n"));
    EXPECT_NE(std::string::npos, Out.str().find("power lost")) << Out.str();
    EXPECT_NE(std::string::npos, Out.str().find("last run crashed")) << Out.str();
    EXPECT_NE(std::string::npos, Out.str().find("machine up (boot 2)")) << Out.str();
}

// ---- The tool as a program -------------------------------------------------------------

struct Outcome {
    int Status = -1;
    std::string Output;
};

Outcome RunTool(const std::string& arguments, const std::string& input = "") {
    std::string folder;
    EXPECT_EQ("", machine::HostMakeTemporaryFolder(&folder));
    std::string inputFile = folder + "/input";
    EXPECT_EQ("", machine::HostWriteFileAtomically(inputFile, machine::BytesOf(input)));
    std::string command = std::string(QUILT_TOOL_PATH) + " " + arguments + " < " + inputFile + " 2>&1";
    Outcome outcome;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe != nullptr) {
        char buffer[4096];
        size_t got;
        while ((got = fread(buffer, 1, sizeof(buffer), pipe)) > 0) outcome.Output.append(buffer, got);
        int status = pclose(pipe);
        outcome.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    machine::HostRemoveTree(folder);
    return outcome;
}

TEST(QuiltTool, ScriptOnStandardInputPrintsTheFileWritten) {
    Outcome outcome = RunTool("shell", "boot\nwrite C:\\data\\x.txt hello\ntype C:\\data\\x.txt\nshutdown\n");
    EXPECT_EQ(0, outcome.Status) << outcome.Output;
    EXPECT_NE(std::string::npos, outcome.Output.find("\nhello\n")) << outcome.Output;
}

TEST(QuiltTool, AMachineFolderIsResumedByTheNextInvocation) {
    std::string folder;
    ASSERT_EQ("", machine::HostMakeTemporaryFolder(&folder));
    std::string machineFolder = folder + "/pc";
    Outcome first = RunTool("shell --machine " + machineFolder, "boot\nwrite C:\\data\\x.txt persisted\ncrash\n");
    EXPECT_EQ(0, first.Status) << first.Output;
    Outcome second = RunTool("shell --machine " + machineFolder, "status\nboot\ntype C:\\data\\x.txt\n");
    EXPECT_EQ(0, second.Status) << second.Output;
    EXPECT_NE(std::string::npos, second.Output.find("boots 1; last run crashed")) << second.Output;
    // Nothing flushed the write before the power went.
    EXPECT_NE(std::string::npos, second.Output.find("error: STATUS_OBJECT_NAME_NOT_FOUND")) << second.Output;
    EXPECT_NE(std::string::npos, second.Output.find("shutting down the running machine")) << second.Output;
    machine::HostRemoveTree(folder);
}

TEST(QuiltTool, HelpExplainsEveryCommandAndBadArgumentsFail) {
    Outcome help = RunTool("--help");
    EXPECT_EQ(0, help.Status);
    EXPECT_NE(std::string::npos, help.Output.find("quilt demo"));
    Outcome shellHelp = RunTool("shell --help");
    EXPECT_EQ(0, shellHelp.Status);
    EXPECT_NE(std::string::npos, shellHelp.Output.find("reg query KEY"));
    EXPECT_EQ(2, RunTool("").Status);
    EXPECT_EQ(2, RunTool("fly").Status);
    EXPECT_EQ(2, RunTool("shell --colour").Status);
    EXPECT_EQ(2, RunTool("shell", "nonsense\n").Status);
}

TEST(QuiltTool, DemoObservesEveryStep) {
    Outcome demo = RunTool("demo");
    EXPECT_EQ(0, demo.Status) << demo.Output;
    EXPECT_NE(std::string::npos, demo.Output.find("demo finished")) << demo.Output;
    EXPECT_EQ(std::string::npos, demo.Output.find("FAIL")) << demo.Output;
}

}  // namespace
