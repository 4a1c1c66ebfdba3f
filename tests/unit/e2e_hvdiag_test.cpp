// hvdiag.exe against the real Mux service, every command as a person runs it (output, exit
// code, error lines); and the user guide's sample clients, whose messages must be stored.
#include <shlobj.h>

#include <algorithm>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "hvdiagtest/ChildProcess.h"
#include "support/HostProcess.h"
#include "support/TestSupport.h"

namespace hv::test {
namespace {

#define EXPECT_HAS(text, part) EXPECT_NE((text).find(part), std::string::npos) << (text)

const wchar_t kProduct[] = L"Software\\Corvala Software\\Halvern Diagnostics";
const wchar_t kPumpResources[] = L"Software\\Corvala Software\\Halvern Diagnostics\\Providers\\Pump\\Resources";

// The value of the first field of this name in a JSON line: a string without
// its quotes (the texts compared here hold no escapes), anything else as written.
std::string Field(const std::string& line, const std::string& name) {
  std::smatch found;
  std::regex_search(line, found, std::regex("\"" + name + "\":(\"([^\"\\\\]*)\"|[^,}\\]]*)"));
  return found[2].matched ? found[2].str() : found[1].str();
}

struct Outcome {
  int exit = -1;
  std::string out, err;
};

using Texts = std::vector<std::string>;
Texts Lines(const std::string& text) {
  Texts lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}
// The "message" of each JSON line.
Texts Messages(const std::string& output) {
  Texts texts;
  for (const std::string& line : Lines(output)) texts.push_back(Field(line, "message"));
  return texts;
}

class HvdiagEndToEnd : public ComTest {
 protected:
  static void SetUpTestSuite() {
    if (!HostProcess::Available()) return;
    host_ = new HostProcess("hvdiag");
    started_ = host_->Start();
    SetMachineString(kPumpResources, L"0x0009", BinDir() + L"PumpENU.dll");
    SetMachineString(kPumpResources, L"0x0007", BinDir() + L"PumpDEU.dll");
  }
  static void TearDownTestSuite() {
    delete std::exchange(host_, nullptr);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Corvala Software\\Halvern Diagnostics\\Providers\\Pump");
  }
  void SetUp() override {
    if (!HostProcess::Available()) GTEST_SKIP() << "tarnhost is not built (HV_TARNHOST); nothing to talk to";
    ASSERT_TRUE(started_) << host_->Log();
    ComTest::SetUp();
  }

  static Outcome Run(const std::wstring& program, const std::wstring& arguments) {
    ChildProcess child;
    EXPECT_TRUE(child.Start(program, arguments)) << Narrow(program) << ": error " << GetLastError();
    return {child.Wait(), child.Out(), child.Err()};
  }
  static Outcome Hv(const std::wstring& arguments) { return Run(BinDir() + L"hvdiag.exe", arguments); }
  // The output of a command that succeeds.
  static std::string Ok(const std::wstring& arguments) {
    const Outcome outcome = Hv(arguments);
    EXPECT_EQ(outcome.exit, 0) << Narrow(arguments) << "\n" << outcome.err;
    return outcome.out;
  }
  // A command that fails (exit 1) and says why on its error output.
  static void ExpectFailure(const std::wstring& arguments, const std::string& says) {
    const Outcome outcome = Hv(arguments);
    EXPECT_EQ(outcome.exit, 1) << Narrow(arguments) << "\n" << outcome.err;
    EXPECT_HAS(outcome.err, says);
  }

  static inline HostProcess* host_ = nullptr;
  static inline bool started_ = false;
};

TEST_F(HvdiagEndToEnd, LogDeliversTextResourceAndDetailedMessagesAndPrintsTheResult) {
  EXPECT_EQ(Ok(L"log --severity Error --audience Op --verbosity 3 --location \"Line 3\" --provider Press --user oper "
               L"--time 2023-03-15T06:00:00.250Z \"Ram <A> & \\\"B\\\" jammed\""),
            "result 0x00000000 S_OK: the service has stored or routed the message\n");
  EXPECT_EQ(host_->Query("select severity, audience, verbosity, location, provider, user_name, message_id, "
                         "message_text, time_text from messages where provider = 'Press'"),
            "1|8|3|Line 3|Press|oper|-1|Ram <A> & \"B\" jammed|2023-03-15T06:00:00.250Z\n");

  Ok(L"log --provider Pump --location \"Line 3\" --severity warning --audience \"Eng|Op\" --resource 1002 --arg P-101 "
     L"--arg 7");
  EXPECT_EQ(host_->Query("select severity, audience, message_id, message_text from messages where provider = 'Pump'"),
            "2|12|1002|\n");

  // Typed extended parameters and a chain of two children, delivered asynchronously.
  EXPECT_EQ(Ok(L"log --provider Detail --async --param batch:int=4711 --param operator=Keller "
               L"--child \"seal hot\" --child \"sensor 4\" \"pump stopped\""),
            "result 0x00000000 S_OK: handed to the Mux component, which sends it in the background\n");
  EXPECT_EQ(host_->QueryUntil("select message_text from messages where provider = 'Detail'", "pump stopped\n"),
            "pump stopped\n");
  const std::string blob = host_->Query("select hex(item) from messages where provider = 'Detail'");
  auto utf16Hex = [](const std::string& ascii) {
    std::string hex;
    for (unsigned char c : ascii) hex += std::string{"0123456789ABCDEF"[c >> 4], "0123456789ABCDEF"[c & 15]} + "00";
    return hex;
  };
  EXPECT_HAS(blob, utf16Hex("batch") + "0000" "03000000" "0300" "67120000");  // a 32-bit integer 4711
  for (const char* text : {"Keller", "seal hot", "sensor 4"}) EXPECT_HAS(blob, utf16Hex(text));
}

TEST_F(HvdiagEndToEnd, WrongCommandLinesAreRefusedWithUsageAndEveryCommandHasHelp) {
  const std::pair<const wchar_t*, const char*> cases[] = {
      {L"frobnicate", "unknown command \"frobnicate\""},
      {L"log --colour red hello", "unknown option \"--colour\""},
      {L"log --severity loud hello", "--severity takes"},
      {L"log --timeout", "option \"--timeout\" needs a value"},
      {L"log", "give the message text as one argument"},
      {L"log --resource 1002 text", "a resource message takes no text"},
      {L"log --param =1 x", "--param takes NAME=VALUE"},
      {L"log --time 2023-02-29 x", "--time takes a UTC time"},
      {L"read --count 0", "--count takes a whole number of at least 1"},
      {L"read --filter \"<Filter/>\" --severity Error", "--filter gives the whole document; it cannot be combined"},
      {L"read --lang klingon", "unknown language \"klingon\""},
      {L"follow --for soon", "--for takes whole seconds"},
      {L"export", "give the FILE to write"},
      {L"flags 1 everyone Error", "AUDIENCE is one of"},
      {L"flags 1 Op", "give ADAPTOR, AUDIENCE and SEVERITIES"},
      {L"groups extra", "no arguments expected"},
  };
  for (const auto& [arguments, says] : cases) {
    const Outcome outcome = Hv(arguments);
    EXPECT_EQ(outcome.exit, 2) << Narrow(arguments) << "\n" << outcome.err;
    EXPECT_HAS(outcome.err, "0x80070057 E_INVALIDARG: " + std::string(says));
    EXPECT_EQ(outcome.out, "") << Narrow(arguments);
  }
  EXPECT_EQ(host_->Query("select count(*) from messages where message_text in ('hello', 'x', 'text')"), "0\n");

  const std::string overview = Ok(L"--help");
  for (const char* command : {"log", "read", "follow", "export", "adaptors", "flags", "groups", "group"}) {
    EXPECT_EQ(Ok(Widen(command) + L" --help").rfind("Usage: hvdiag " + std::string(command), 0), 0u) << command;
    EXPECT_HAS(overview, "\n  " + std::string(command) + " ");
  }
  EXPECT_EQ(Hv(L"").exit, 2);
}

TEST_F(HvdiagEndToEnd, AdaptorsAreListedAndAFlagChangeReachesTheService) {
  EXPECT_EQ(Lines(Hv(L"adaptors --json").out),
            (Texts{"{\"number\":1,\"name\":\"Message store\",\"clsid\":\"{1B67ABEC-0E98-4B4F-9A72-A366625F20D6}\","
                   "\"reading\":true,\"audiences\":15,\"severities\":15,"
                   "\"enabled\":{\"VELTRA\":15,\"Dev\":15,\"Eng\":15,\"Op\":15}}",
                   "{\"number\":2,\"name\":\"Syslog forwarder\",\"clsid\":\"{ED34F366-7CA7-4E2D-824E-7213D595AFB2}\","
                   "\"reading\":false,\"audiences\":15,\"severities\":15,"
                   "\"enabled\":{\"VELTRA\":0,\"Dev\":0,\"Eng\":0,\"Op\":0}}"}));

  // Columns: every row's class id starts where the header's column does.
  const std::vector<std::string> rows = Lines(Hv(L"adaptors").out);
  ASSERT_EQ(rows.size(), 3u);
  const size_t column = rows[0].find("CLASS ID");
  ASSERT_NE(column, std::string::npos) << rows[0];
  for (size_t i : {1, 2}) EXPECT_EQ(rows[i].find("{"), column) << rows[i];
  EXPECT_EQ(rows[1].rfind("1  Message store", 0), 0u) << rows[1];

  EXPECT_EQ(Ok(L"flags \"message store\" Op \"Error|Warning\""),
            "Message store, Op: Error|Warning|Info|Audit -> Error|Warning (result 0x00000000 S_OK)\n");
  // A new manager asks the service again, and the service now routes by it.
  const std::string changed = Lines(Hv(L"adaptors --json").out)[0];
  EXPECT_EQ(Field(changed, "Op"), "3");
  EXPECT_EQ(Field(changed, "Eng"), "15") << "other audiences are untouched";
  EXPECT_EQ(Hv(L"log --provider Routed --audience Op --severity Info \"not for the store\"").exit, 0);
  EXPECT_EQ(Hv(L"log --provider Routed --audience Op --severity Warning \"for the store\"").exit, 0);
  EXPECT_EQ(host_->Query("select message_text from messages where provider = 'Routed'"), "for the store\n");
  // The change was recorded as an audit message (Audit, VELTRA and Op).
  const std::string audit = "select count(*) from messages where severity = 8 and audience = 9 and provider = "
                            "'Halvern Diagnostics'";
  EXPECT_EQ(host_->QueryUntil(audit, "1\n"), "1\n");

  EXPECT_EQ(Hv(L"flags 2 veltra all").out,
            "Syslog forwarder, VELTRA: none -> Error|Warning|Info|Audit (result 0x00000000 S_OK)\n");
  ExpectFailure(L"flags \"No such adaptor\" Op none", "no adaptor \"No such adaptor\": 0x80070057 E_INVALIDARG");
  EXPECT_EQ(Hv(L"flags 1 op all").exit, 0);
  EXPECT_EQ(Hv(L"flags 2 veltra none").exit, 0);
  EXPECT_EQ(Field(Hv(L"adaptors --json").out, "Op"), "15");
}

TEST_F(HvdiagEndToEnd, DisplayGroupsInEnglishAndGerman) {
  wchar_t common[MAX_PATH];
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, 0, common), S_OK);
  const std::wstring folder = std::wstring(common) + L"\\Corvala";
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring installed = folder + L"\\hvdiag_test_Pump.hvds";
  ASSERT_TRUE(CopyFileW((SourceDir() + L"samples\\definitions\\Pump.hvds").c_str(), installed.c_str(), FALSE));

  const std::string english = Ok(L"groups --lang en");
  EXPECT_HAS(english, "Pump     Pump\n");
  EXPECT_HAS(english, "Service  PumpService\n");
  const std::vector<std::string> german = Lines(Hv(L"groups --lang de --json").out);
  for (const char* group : {"{\"name\":\"Pumpe\",\"type\":\"Pump\"}", "{\"name\":\"Wartung\",\"type\":\"PumpService\"}"})
    EXPECT_NE(std::find(german.begin(), german.end(), group), german.end()) << group;

  const std::string pumpe = Ok(L"group --lang de Pumpe");
  EXPECT_EQ(pumpe.rfind("<Group Name=\"Pump\">\n\t<DisplayName>Pumpe</DisplayName>\n", 0), 0u) << pumpe;
  EXPECT_HAS(pumpe, "<Label>Anlage</Label>");
  EXPECT_EQ(pumpe.find("<Label>Station</Label>"), std::string::npos);
  EXPECT_HAS(Hv(L"group --lang 0x0409 pump").out, "<Label>Station</Label>");
  // Listed in German as "Pumpe".
  ExpectFailure(L"group --lang de Pump", "no field group is named \"Pump\"");
  DeleteFileW(installed.c_str());
}

TEST_F(HvdiagEndToEnd, AnUnreachableServiceIsReportedWithItsResultCode) {
  const std::wstring port = std::to_wstring(host_->port());
  ASSERT_TRUE(SetMachineString(kProduct, L"InterprocessTransport", L"ip:1;ip:127.0.0.1:1"));
  for (const wchar_t* command : {L"log \"nobody listens\"", L"adaptors", L"read", L"follow --for 1"})
    ExpectFailure(command, "failed: 0x8007274D HRESULT_FROM_WIN32(WSAECONNREFUSED)");
  ASSERT_TRUE(SetMachineString(kProduct, L"InterprocessTransport", L"ip:" + port + L";ip:127.0.0.1:" + port));
  EXPECT_EQ(Hv(L"log \"listening again\"").exit, 0);
}

TEST_F(HvdiagEndToEnd, ReadFiltersOrdersCountsAndFormatsInTheCallersLanguage) {
  for (const wchar_t* command :
       {L"log --provider Reader --location \"Plant 1/Line 3\" --severity Info --time 2023-03-15T06:00:00Z first",
        L"log --provider Reader --location \"Plant 1/Line 4\" --severity Error --time 2023-03-15T07:00:00Z --user oper "
        L"--param batch:int=5 --child \"because <of> this\" second",
        L"log --provider Reader --location \"Plant 2\" --severity Warning --time 2023-03-15T08:00:00Z third",
        L"log --provider Pump --location Reader --time 2023-03-15T09:00:00Z --resource 1002 --arg P-101 --arg 7"})
    ASSERT_EQ(Hv(command).exit, 0) << Narrow(command);

  // Newest first by default; JSON lines with every field.
  const std::string newest = Hv(L"read --provider Reader --json").out;
  ASSERT_EQ(Messages(newest), (Texts{"third", "second", "first"}));
  const std::string second = "\"time\":\"2023-03-15T07:00:00.000Z\",\"datetime\":45000.291666666664,\"severity\":1,"
                             "\"severity_names\":\"Error\",\"audience\":2,\"audience_names\":\"Dev\",\"verbosity\":0,"
                             "\"location\":\"Plant 1/Line 4\",\"provider\":\"Reader\",\"user\":\"oper\",\"message_id\":null,";
  EXPECT_EQ(Lines(newest)[1], "{" + second + "\"message\":\"second\",\"parameters\":{\"batch\":\"5\"},\"children\":[{" +
                                  second + "\"message\":\"because <of> this\",\"parameters\":{\"batch\":\"\"}}]}");
  EXPECT_EQ(Messages(Hv(L"read --provider Reader --oldest-first --count 2 --json").out), (Texts{"first", "second"}));
  EXPECT_EQ(Messages(Hv(L"read --json --provider Reader --location-prefix \"Plant 1/\" --severity \"Error|Warning\"").out),
            Texts{"second"});
  EXPECT_EQ(Messages(Hv(L"read --json --provider Reader --from 2023-03-15T07:00:00Z --before 2023-03-15T08:00:00Z").out),
            Texts{"second"});
  // A resource message is formatted when it is read, in the reader's language.
  EXPECT_EQ(Messages(Hv(L"read --json --location Reader --lang en").out), Texts{"Pump P-101 pressure 7 bar"});
  EXPECT_EQ(Messages(Hv(L"read --json --location Reader --lang de").out), Texts{"Pumpe P-101 Druck 7 bar"});

  // Aligned columns: each row's message starts where the header's MESSAGE does.
  const std::string table = Hv(L"read --provider Reader").out;
  const std::vector<std::string> rows = Lines(table);
  ASSERT_GE(rows.size(), 4u);
  const size_t message = rows[0].find("MESSAGE");
  ASSERT_NE(message, std::string::npos) << rows[0];
  EXPECT_EQ(rows[1].substr(message), "third");
  EXPECT_EQ(rows[1].rfind("2023-03-15T08:00:00.000Z  Warning", 0), 0u) << rows[1];
  EXPECT_HAS(table, "    batch = 5\n    child: Error because <of> this\n");

  ExpectFailure(L"read --filter \"<Filter><Sevrity>Error</Sevrity></Filter>\"",
                "ReadMessages failed: 0x80070057 E_INVALIDARG: filter, line 1, column 9: unknown element <Sevrity>");
  ExpectFailure(L"read --severity Eror", "\"Eror\" is not a mask");
}

TEST_F(HvdiagEndToEnd, FollowPrintsNewMessagesAsTheyArrive) {
  ChildProcess follow;
  ASSERT_TRUE(follow.Start(BinDir() + L"hvdiag.exe", L"follow --json --provider Followed --max 2 --for 60 --buffer 0"));
  ASSERT_TRUE(follow.WaitForErr("following new messages", 30000)) << follow.Err();
  EXPECT_EQ(Hv(L"log --provider Other \"not followed\"").exit, 0);
  EXPECT_EQ(Hv(L"log --provider Followed --severity Warning \"one\"").exit, 0);
  EXPECT_EQ(Hv(L"log --provider Followed --async \"two\"").exit, 0);
  EXPECT_EQ(follow.Wait(30000), 0) << follow.Err();
  EXPECT_EQ(Messages(follow.Out()), (Texts{"one", "two"}));
  EXPECT_EQ(Field(follow.Out(), "severity_names"), "Warning");
  EXPECT_HAS(follow.Err(), "2 messages");
}

TEST_F(HvdiagEndToEnd, ExportWritesAnXmlFileThatXmllintAccepts) {
  ASSERT_EQ(Hv(L"log --provider Exported --param batch=7 \"a <b> & 'c'\"").exit, 0);
  ASSERT_EQ(Hv(L"log --provider Exported \"plain\"").exit, 0);
  const std::string file = host_->database() + ".export.xml";
  EXPECT_HAS(Ok(L"export --provider Exported \"" + WindowsPathOf(file) + L"\""), "Exported 2 messages");
  // The layout and escaping are the export tests' business.
  EXPECT_TRUE(RunUnixCommand("xmllint --noout '" + file + "'")) << "xmllint accepts it";

  // A tab in a message would come back from a parser as a space: named, exit 3.
  ASSERT_EQ(Hv(L"log --provider Exported \"tab\there\"").exit, 0);
  const Outcome lossy = Hv(L"export --provider Exported \"" + WindowsPathOf(file) + L"\"");
  EXPECT_EQ(lossy.exit, 3) << lossy.err;
  for (const char* part : {"1 message(s) hold characters that XML cannot carry", "  message ", "hvdiag read --json"})
    EXPECT_HAS(lossy.err, part);

  ExpectFailure(L"export Z:\\nonexistent-folder\\x.xml",
                "PersistMessages to \"Z:\\nonexistent-folder\\x.xml\" failed: 0x80004005 E_FAIL");
}

TEST_F(HvdiagEndToEnd, TheSampleClientsLogWhatTheUserGuideShows) {
  const std::tuple<const char*, std::string, Outcome> clients[] = {
      {"Line 9", "sample", Run(BinDir() + L"hvsample_client.exe", L"\"Line 9\"")},
      {"Line 10", "script", Run(L"C:\\windows\\system32\\cscript.exe",
                                L"//nologo \"" + SourceDir() + L"samples\\clients\\log-client.vbs\" \"Line 10\"")},
  };
  for (const auto& [location, who, outcome] : clients) {
    EXPECT_EQ(outcome.exit, 0) << outcome.out << outcome.err;
    EXPECT_EQ(host_->Query("select severity, audience, message_id, message_text from messages where location = '" +
                           std::string(location) + "' order by id"),
              "4|8|-1|Pump P-101 started by the " + who + " client\n2|4|1002|\n1|2|-1|Pump P-101 stopped\n");
  }
  EXPECT_HAS(std::get<Outcome>(clients[1]).out, "logged 3 messages");
}

}  // namespace
}  // namespace hv::test
