// hvdiag.exe against the real Mux service: every command as a person runs it,
// its output, its exit code and its error lines; and the sample clients of the
// user guide, whose messages must arrive in the store.
#include <shlobj.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "hvdiagtest/ChildProcess.h"
#include "hvdiagtest/Json.h"
#include "support/HostProcess.h"
#include "support/TestSupport.h"

namespace hv::test {
namespace {

const wchar_t kProduct[] = L"Software\\Corvala Software\\Halvern Diagnostics";
const wchar_t kPumpResources[] = L"Software\\Corvala Software\\Halvern Diagnostics\\Providers\\Pump\\Resources";

struct Outcome {
  int exit = -1;
  std::string out, err;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::vector<Json> JsonLines(const std::string& text) {
  std::vector<Json> values;
  for (const std::string& line : Lines(text)) {
    Json value;
    EXPECT_TRUE(Json::Parse(line, &value)) << "not a JSON line: " << line;
    values.push_back(value);
  }
  return values;
}

// The text of a UTF-16 file with its byte-order mark, as UTF-8.
std::string Utf16FileText(const std::string& unixPath) {
  const std::string bytes = ReadTextFile(unixPath);
  if (bytes.size() < 2 || bytes.compare(0, 2, "\xFF\xFE") != 0) return "(no UTF-16 byte-order mark)";
  return Narrow(std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2));
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
    delete host_;
    host_ = nullptr;
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software\\Corvala Software\\Halvern Diagnostics\\Providers\\Pump");
  }
  void SetUp() override {
    if (!HostProcess::Available()) GTEST_SKIP() << "tarnhost is not built (HV_TARNHOST); nothing to talk to";
    ASSERT_TRUE(started_) << host_->Log();
    ComTest::SetUp();
  }

  static Outcome Run(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs = 60000) {
    ChildProcess child;
    Outcome outcome;
    EXPECT_TRUE(child.Start(program, arguments)) << Narrow(program);
    outcome.exit = child.Wait(timeoutMs);
    outcome.out = child.Out();
    outcome.err = child.Err();
    return outcome;
  }
  static std::wstring Hvdiag() { return BinDir() + L"hvdiag.exe"; }
  static Outcome Hv(const std::wstring& arguments) { return Run(Hvdiag(), arguments); }

  static HostProcess* host_;
  static bool started_;
};

HostProcess* HvdiagEndToEnd::host_ = nullptr;
bool HvdiagEndToEnd::started_ = false;

TEST_F(HvdiagEndToEnd, LogDeliversTextResourceAndDetailedMessagesAndPrintsTheResult) {
  Outcome text = Hv(L"log --severity Error --audience Op --verbosity 3 --location \"Line 3\" --provider Press "
                    L"--user oper --time 2023-03-15T06:00:00.250Z \"Ram <A> & \\\"B\\\" jammed\"");
  EXPECT_EQ(text.exit, 0) << text.err;
  EXPECT_EQ(text.out, "result 0x00000000 S_OK: the service has stored or routed the message\n");
  EXPECT_EQ(host_->Query("select severity, audience, verbosity, location, provider, user_name, message_id, "
                         "message_text, time_text from messages where provider = 'Press'"),
            "1|8|3|Line 3|Press|oper|-1|Ram <A> & \"B\" jammed|2023-03-15T06:00:00.250Z\n");

  Outcome resource = Hv(L"log --provider Pump --location \"Line 3\" --severity warning --audience \"Eng|Op\" "
                        L"--resource 1002 --arg P-101 --arg 7");
  EXPECT_EQ(resource.exit, 0) << resource.err;
  EXPECT_EQ(host_->Query("select severity, audience, message_id, message_text from messages where provider = 'Pump'"),
            "2|12|1002|\n");

  // Extended parameters with their declared types, a chain of two children,
  // delivered asynchronously: the item stream carries all of it.
  Outcome detailed = Hv(L"log --provider Detail --async --param batch:int=4711 --param operator=Keller "
                        L"--child \"seal hot\" --child \"sensor 4\" \"pump stopped\"");
  EXPECT_EQ(detailed.exit, 0) << detailed.err;
  EXPECT_EQ(detailed.out, "result 0x00000000 S_OK: handed to the Mux component, which sends it in the background\n");
  EXPECT_EQ(host_->QueryUntil("select message_text from messages where provider = 'Detail'", "pump stopped\n"),
            "pump stopped\n");
  const std::string blob = host_->Query("select hex(item) from messages where provider = 'Detail'");
  auto utf16Hex = [](const std::string& ascii) {
    std::string hex;
    const char* digits = "0123456789ABCDEF";
    for (unsigned char c : ascii) hex += std::string{digits[c >> 4], digits[c & 15]} + "00";
    return hex;
  };
  EXPECT_NE(blob.find(utf16Hex("batch") + "0000" + "03000000" + "0300" + "67120000"), std::string::npos)
      << "batch as a 32-bit integer 4711: " << blob;
  EXPECT_NE(blob.find(utf16Hex("Keller")), std::string::npos);
  EXPECT_NE(blob.find(utf16Hex("seal hot")), std::string::npos);
  EXPECT_NE(blob.find(utf16Hex("sensor 4")), std::string::npos);
}

TEST_F(HvdiagEndToEnd, WrongCommandLinesAreRefusedWithUsageAndEveryCommandHasHelp) {
  struct Case {
    const wchar_t* arguments;
    const char* says;
  } cases[] = {
      {L"frobnicate", "unknown command \"frobnicate\""},
      {L"log --colour red hello", "unknown option \"--colour\""},
      {L"log --severity loud hello", "--severity takes"},
      {L"log --timeout", "option \"--timeout\" needs a value"},
      {L"log", "give the message text as one argument"},
      {L"log --resource 1002 text", "a resource message takes no text"},
      {L"log --param =1 x", "--param takes NAME=VALUE"},
      {L"log --time 2023-02-29 x", "--time takes a UTC time"},
      {L"read --count 0", "--count takes a whole number of at least 1"},
      {L"read --filter \"<Filter/>\" --severity Error", "cannot be combined"},
      {L"read --lang klingon", "unknown language \"klingon\""},
      {L"follow --for soon", "--for takes whole seconds"},
      {L"export", "give the FILE to write"},
      {L"flags 1 everyone Error", "AUDIENCE is one of"},
      {L"flags 1 Op", "give ADAPTOR, AUDIENCE and SEVERITIES"},
      {L"groups extra", "no arguments expected"},
  };
  for (const Case& c : cases) {
    const Outcome outcome = Hv(c.arguments);
    EXPECT_EQ(outcome.exit, 2) << Narrow(c.arguments) << "\n" << outcome.err;
    EXPECT_NE(outcome.err.find("0x80070057 E_INVALIDARG: "), std::string::npos) << outcome.err;
    EXPECT_NE(outcome.err.find(c.says), std::string::npos) << Narrow(c.arguments) << "\n" << outcome.err;
    EXPECT_EQ(outcome.out, "") << Narrow(c.arguments);
  }
  EXPECT_EQ(host_->Query("select count(*) from messages where message_text in ('hello', 'x', 'text')"), "0\n");

  for (const wchar_t* command : {L"log", L"read", L"follow", L"export", L"adaptors", L"flags", L"groups", L"group"}) {
    const Outcome help = Hv(std::wstring(command) + L" --help");
    EXPECT_EQ(help.exit, 0) << Narrow(command);
    EXPECT_EQ(help.out.rfind("Usage: hvdiag " + Narrow(command), 0), 0u) << help.out;
  }
  const Outcome overview = Hv(L"--help");
  EXPECT_EQ(overview.exit, 0);
  for (const char* command : {"log ", "read ", "follow ", "export ", "adaptors ", "flags ", "groups ", "group "})
    EXPECT_NE(overview.out.find(std::string("\n  ") + command), std::string::npos) << command;
  EXPECT_EQ(Hv(L"").exit, 2);
}

TEST_F(HvdiagEndToEnd, AdaptorsAreListedAndAFlagChangeReachesTheService) {
  const std::vector<Json> adaptors = JsonLines(Hv(L"adaptors --json").out);
  ASSERT_EQ(adaptors.size(), 2u);
  EXPECT_EQ(adaptors[0]["name"].text, "Message store");
  EXPECT_EQ(adaptors[0]["clsid"].text, "{1B67ABEC-0E98-4B4F-9A72-A366625F20D6}");
  EXPECT_TRUE(adaptors[0]["reading"].boolean);
  EXPECT_EQ(adaptors[0]["enabled"]["Op"].number, 15);
  EXPECT_EQ(adaptors[1]["name"].text, "Syslog forwarder");
  EXPECT_FALSE(adaptors[1]["reading"].boolean);
  EXPECT_EQ(adaptors[1]["enabled"]["Op"].number, 0);

  // Columns: every row's class id starts where the header's column does.
  const std::vector<std::string> rows = Lines(Hv(L"adaptors").out);
  ASSERT_EQ(rows.size(), 3u);
  const size_t column = rows[0].find("CLASS ID");
  ASSERT_NE(column, std::string::npos) << rows[0];
  EXPECT_EQ(rows[1].find("{1B67ABEC"), column) << rows[1];
  EXPECT_EQ(rows[2].find("{ED34F366"), column) << rows[2];
  EXPECT_EQ(rows[1].rfind("1  Message store", 0), 0u) << rows[1];

  const Outcome change = Hv(L"flags \"message store\" Op \"Error|Warning\"");
  EXPECT_EQ(change.exit, 0) << change.err;
  EXPECT_EQ(change.out, "Message store, Op: Error|Warning|Info|Audit -> Error|Warning (result 0x00000000 S_OK)\n");
  // A new manager asks the service again, and the service now routes by it.
  const Json changed = JsonLines(Hv(L"adaptors --json").out)[0];
  EXPECT_EQ(changed["enabled"]["Op"].number, 3);
  EXPECT_EQ(changed["enabled"]["Eng"].number, 15) << "other audiences are untouched";
  EXPECT_EQ(Hv(L"log --provider Routed --audience Op --severity Info \"not for the store\"").exit, 0);
  EXPECT_EQ(Hv(L"log --provider Routed --audience Op --severity Warning \"for the store\"").exit, 0);
  EXPECT_EQ(host_->Query("select message_text from messages where provider = 'Routed'"), "for the store\n");
  // The change was recorded as an audit message (Audit, VELTRA and Op).
  EXPECT_EQ(host_->QueryUntil("select count(*) from messages where severity = 8 and audience = 9 and provider = "
                        "'Halvern Diagnostics'",
                        "1\n"),
            "1\n");

  EXPECT_EQ(Hv(L"flags 2 veltra all").out,
            "Syslog forwarder, VELTRA: none -> Error|Warning|Info|Audit (result 0x00000000 S_OK)\n");
  const Outcome unknown = Hv(L"flags \"No such adaptor\" Op none");
  EXPECT_EQ(unknown.exit, 1);
  EXPECT_NE(unknown.err.find("no adaptor \"No such adaptor\": 0x80070057 E_INVALIDARG"), std::string::npos)
      << unknown.err;
  EXPECT_EQ(Hv(L"flags 1 op all").exit, 0);
  EXPECT_EQ(Hv(L"flags 2 veltra none").exit, 0);
  EXPECT_EQ(JsonLines(Hv(L"adaptors --json").out)[0]["enabled"]["Op"].number, 15);
}

TEST_F(HvdiagEndToEnd, DisplayGroupsInEnglishAndGerman) {
  wchar_t common[MAX_PATH];
  ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES_COMMON, nullptr, 0, common), S_OK);
  const std::wstring folder = std::wstring(common) + L"\\Corvala";
  CreateDirectoryW(folder.c_str(), nullptr);
  const std::wstring installed = folder + L"\\hvdiag_test_Pump.hvds";
  ASSERT_TRUE(CopyFileW((SourceDir() + L"samples\\definitions\\Pump.hvds").c_str(), installed.c_str(), FALSE));

  const Outcome english = Hv(L"groups --lang en");
  EXPECT_EQ(english.exit, 0) << english.err;
  EXPECT_NE(english.out.find("Pump     Pump\n"), std::string::npos) << english.out;
  EXPECT_NE(english.out.find("Service  PumpService\n"), std::string::npos) << english.out;
  std::vector<std::string> german;
  for (const Json& group : JsonLines(Hv(L"groups --lang de --json").out)) german.push_back(group["name"].text);
  EXPECT_NE(std::find(german.begin(), german.end(), "Pumpe"), german.end());
  EXPECT_NE(std::find(german.begin(), german.end(), "Wartung"), german.end());

  const Outcome pumpe = Hv(L"group --lang de Pumpe");
  EXPECT_EQ(pumpe.exit, 0) << pumpe.err;
  EXPECT_EQ(pumpe.out.rfind("<Group Name=\"Pump\">\n\t<DisplayName>Pumpe</DisplayName>\n", 0), 0u) << pumpe.out;
  EXPECT_NE(pumpe.out.find("<Label>Anlage</Label>"), std::string::npos);
  EXPECT_EQ(pumpe.out.find("<Label>Station</Label>"), std::string::npos);
  const Outcome pump = Hv(L"group --lang 0x0409 pump");
  EXPECT_NE(pump.out.find("<Label>Station</Label>"), std::string::npos) << pump.out;
  const Outcome missing = Hv(L"group --lang de Pump");  // listed in German as "Pumpe"
  EXPECT_EQ(missing.exit, 1);
  EXPECT_NE(missing.err.find("no field group is named \"Pump\""), std::string::npos) << missing.err;
  DeleteFileW(installed.c_str());
}

TEST_F(HvdiagEndToEnd, AnUnreachableServiceIsReportedWithItsResultCode) {
  const std::wstring port = std::to_wstring(host_->port());
  ASSERT_TRUE(SetMachineString(kProduct, L"InterprocessTransport", L"ip:1;ip:127.0.0.1:1"));
  for (const wchar_t* command : {L"log \"nobody listens\"", L"adaptors", L"read", L"follow --for 1"}) {
    const Outcome outcome = Hv(command);
    EXPECT_EQ(outcome.exit, 1) << Narrow(command) << "\n" << outcome.err;
    EXPECT_NE(outcome.err.find("failed: 0x8007274D HRESULT_FROM_WIN32(WSAECONNREFUSED)"), std::string::npos)
        << Narrow(command) << "\n" << outcome.err;
  }
  ASSERT_TRUE(SetMachineString(kProduct, L"InterprocessTransport", L"ip:" + port + L";ip:127.0.0.1:" + port));
  EXPECT_EQ(Hv(L"log \"listening again\"").exit, 0);
}

TEST_F(HvdiagEndToEnd, ReadFiltersOrdersCountsAndFormatsInTheCallersLanguage) {
  for (const wchar_t* command :
       {L"log --provider Reader --location \"Plant 1/Line 3\" --severity Info --time 2023-03-15T06:00:00Z first",
        L"log --provider Reader --location \"Plant 1/Line 4\" --severity Error --time 2023-03-15T07:00:00Z "
        L"--param batch:int=5 --child \"because <of> this\" second",
        L"log --provider Reader --location \"Plant 2\" --severity Warning --time 2023-03-15T08:00:00Z third",
        L"log --provider Pump --location Reader --time 2023-03-15T09:00:00Z --resource 1002 --arg P-101 --arg 7"})
    ASSERT_EQ(Hv(command).exit, 0) << Narrow(command);

  // Newest first by default; JSON lines with every field.
  std::vector<Json> newest = JsonLines(Hv(L"read --provider Reader --json").out);
  ASSERT_EQ(newest.size(), 3u);
  EXPECT_EQ(newest[0]["message"].text, "third");
  EXPECT_EQ(newest[2]["message"].text, "first");
  EXPECT_EQ(newest[1]["time"].text, "2023-03-15T07:00:00.000Z");
  EXPECT_EQ(newest[1]["severity"].number, 1);
  EXPECT_EQ(newest[1]["location"].text, "Plant 1/Line 4");
  EXPECT_EQ(newest[1]["parameters"]["batch"].text, "5");
  ASSERT_EQ(newest[1]["children"].items.size(), 1u);
  EXPECT_EQ(newest[1]["children"].items[0]["message"].text, "because <of> this");

  std::vector<Json> oldest = JsonLines(Hv(L"read --provider Reader --oldest-first --count 2 --json").out);
  ASSERT_EQ(oldest.size(), 2u);
  EXPECT_EQ(oldest[0]["message"].text, "first");
  EXPECT_EQ(oldest[1]["message"].text, "second");

  std::vector<Json> filtered = JsonLines(
      Hv(L"read --json --provider Reader --location-prefix \"Plant 1/\" --severity \"Error|Warning\"").out);
  ASSERT_EQ(filtered.size(), 1u);
  EXPECT_EQ(filtered[0]["message"].text, "second");
  EXPECT_EQ(JsonLines(Hv(L"read --json --provider Reader --from 2023-03-15T07:00:00Z --before "
                         L"2023-03-15T08:00:00Z").out).size(),
            1u);

  // A resource message is formatted when it is read, in the reader's language.
  EXPECT_EQ(JsonLines(Hv(L"read --json --location Reader --lang en").out)[0]["message"].text,
            "Pump P-101 pressure 7 bar");
  EXPECT_EQ(JsonLines(Hv(L"read --json --location Reader --lang de").out)[0]["message"].text,
            "Pumpe P-101 Druck 7 bar");

  // Aligned columns: each row's message starts where the header's MESSAGE does.
  const std::vector<std::string> rows = Lines(Hv(L"read --provider Reader").out);
  ASSERT_GE(rows.size(), 4u);
  const size_t message = rows[0].find("MESSAGE");
  ASSERT_NE(message, std::string::npos) << rows[0];
  EXPECT_EQ(rows[1].substr(message), "third");
  EXPECT_EQ(rows[1].rfind("2023-03-15T08:00:00.000Z  Warning", 0), 0u) << rows[1];
  EXPECT_NE(Hv(L"read --provider Reader").out.find("    batch = 5\n    child: Error because <of> this\n"),
            std::string::npos);

  const Outcome malformed = Hv(L"read --filter \"<Filter><Sevrity>Error</Sevrity></Filter>\"");
  EXPECT_EQ(malformed.exit, 1);
  EXPECT_NE(malformed.err.find("ReadMessages failed: 0x80070057 E_INVALIDARG: filter, line 1, column 9: unknown "
                               "element <Sevrity>"),
            std::string::npos)
      << malformed.err;
  const Outcome badMask = Hv(L"read --severity Eror");
  EXPECT_EQ(badMask.exit, 1);
  EXPECT_NE(badMask.err.find("\"Eror\" is not a mask"), std::string::npos) << badMask.err;
}

TEST_F(HvdiagEndToEnd, FollowPrintsNewMessagesAsTheyArrive) {
  ChildProcess follow;
  ASSERT_TRUE(follow.Start(Hvdiag(), L"follow --json --provider Followed --max 2 --for 60 --buffer 0"));
  ASSERT_TRUE(follow.WaitForErr("following new messages", 30000)) << follow.Err();
  EXPECT_EQ(Hv(L"log --provider Other \"not followed\"").exit, 0);
  EXPECT_EQ(Hv(L"log --provider Followed --severity Warning \"one\"").exit, 0);
  EXPECT_EQ(Hv(L"log --provider Followed --async \"two\"").exit, 0);
  EXPECT_EQ(follow.Wait(30000), 0) << follow.Err();
  const std::vector<Json> seen = JsonLines(follow.Out());
  ASSERT_EQ(seen.size(), 2u) << follow.Out();
  EXPECT_EQ(seen[0]["message"].text, "one");
  EXPECT_EQ(seen[0]["severity_names"].text, "Warning");
  EXPECT_EQ(seen[1]["message"].text, "two");
  EXPECT_NE(follow.Err().find("2 messages"), std::string::npos) << follow.Err();
}

TEST_F(HvdiagEndToEnd, ExportWritesAnXmlFileThatXmllintAccepts) {
  ASSERT_EQ(Hv(L"log --provider Exported --param batch=7 --child \"cause\" \"a <b> & 'c'\"").exit, 0);
  ASSERT_EQ(Hv(L"log --provider Exported \"plain\"").exit, 0);
  const std::string file = host_->database() + ".export.xml";
  const Outcome exported = Hv(L"export --provider Exported \"" + WindowsPathOf(file) + L"\"");
  EXPECT_EQ(exported.exit, 0) << exported.err;
  EXPECT_NE(exported.out.find("Exported 2 messages"), std::string::npos) << exported.out;
  const std::string xml = Utf16FileText(file);
  EXPECT_EQ(xml.rfind("<?xml version=\"1.0\" encoding=\"utf-16\" ?>\n<TAVDiagnosticItems>\n", 0), 0u) << xml;
  EXPECT_NE(xml.find("message = \"a &lt;b&gt; &amp; 'c'\""), std::string::npos) << xml;
  EXPECT_NE(xml.find("\t\t<ExtendedParam Name = \"batch\" Value = \"7\" />\n"), std::string::npos) << xml;
  EXPECT_NE(xml.find("message = \"cause\""), std::string::npos) << xml;
  const std::string lint = file + ".lint";
  ASSERT_TRUE(RunUnixCommand("xmllint --noout '" + file + "' > '" + lint + "' 2>&1; echo exit $? >> '" + lint + "'"));
  EXPECT_EQ(ReadTextFile(lint), "exit 0\n");

  // A tab in a message would come back from a parser as a space: named, exit 3.
  ASSERT_EQ(Hv(L"log --provider Exported \"tab\there\"").exit, 0);
  const Outcome lossy = Hv(L"export --provider Exported \"" + WindowsPathOf(file) + L"\"");
  EXPECT_EQ(lossy.exit, 3) << lossy.err;
  EXPECT_NE(lossy.err.find("1 message(s) hold characters that XML cannot carry"), std::string::npos) << lossy.err;
  EXPECT_NE(lossy.err.find("  message "), std::string::npos) << lossy.err;
  EXPECT_NE(lossy.err.find("hvdiag read --json"), std::string::npos) << lossy.err;

  const Outcome unwritable = Hv(L"export Z:\\nonexistent-folder\\x.xml");
  EXPECT_EQ(unwritable.exit, 1);
  EXPECT_NE(unwritable.err.find("PersistMessages to \"Z:\\nonexistent-folder\\x.xml\" failed: 0x80004005 E_FAIL"),
            std::string::npos)
      << unwritable.err;
}

TEST_F(HvdiagEndToEnd, TheSampleClientsLogWhatTheUserGuideShows) {
  const Outcome cpp = Run(BinDir() + L"hvsample_client.exe", L"\"Line 9\"");
  EXPECT_EQ(cpp.exit, 0) << cpp.out << cpp.err;
  EXPECT_EQ(host_->Query("select severity, audience, message_id, message_text from messages where location = "
                         "'Line 9' order by id"),
            "4|8|-1|Pump P-101 started by the sample client\n2|4|1002|\n1|2|-1|Pump P-101 stopped\n");

  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  const Outcome script = Run(std::wstring(system) + L"\\cscript.exe",
                             L"//nologo \"" + SourceDir() + L"samples\\clients\\log-client.vbs\" \"Line 10\"");
  EXPECT_EQ(script.exit, 0) << script.out << script.err;
  EXPECT_NE(script.out.find("logged 3 messages"), std::string::npos) << script.out;
  EXPECT_EQ(host_->Query("select severity, audience, message_id, message_text from messages where location = "
                         "'Line 10' order by id"),
            "4|8|-1|Pump P-101 started by the script client\n2|4|1002|\n1|2|-1|Pump P-101 stopped\n");
}

}  // namespace
}  // namespace hv::test
