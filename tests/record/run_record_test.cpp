// The record of a run as JSON, and the report file written whole or not at all.
#include "record/run_record.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "support/json_reader.h"

namespace fs = std::filesystem;

namespace zarnik {
namespace {

using testing::ParseJson;

TEST(JsonWriter, StringsAreEscapedAndStayValidUtf8) {
  struct Case {
    std::string in;
    std::string out;  // without the quotes
  } cases[] = {
      {"", ""},
      {"plain text", "plain text"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {"C:\\images\\app.bin", "C:\\\\images\\\\app.bin"},
      {"Error opening x.\r", "Error opening x.\\r"},
      {"a\nb\tc\bd\fe", "a\\nb\\tc\\bd\\fe"},
      {std::string("nul\0here", 8), "nul\\u0000here"},
      {"\x01\x1f\x7f", "\\u0001\\u001f\x7f"},  // DEL is allowed as it is
      {"gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80",
       "gr\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"latin1 \xFC!", "latin1 \xEF\xBF\xBD!"},                  // a stray byte becomes U+FFFD
      {"cut \xE2\x82", "cut \xEF\xBF\xBD\xEF\xBF\xBD"},          // a sequence cut short by the end
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // an overlong '/'
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate
      {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // past U+10FFFF
  };
  for (const auto& c : cases) {
    const std::string quoted = JsonWriter::Quote(c.in);
    EXPECT_EQ(quoted, "\"" + c.out + "\"") << c.in;
    // Whatever went in, a strict reader takes what came out.
    std::string error;
    auto back = ParseJson(quoted, &error);
    ASSERT_TRUE(back) << error << " in " << quoted;
    if (c.out.find("\xEF\xBF\xBD") == std::string::npos) {
      EXPECT_EQ(back->text, c.in);
    }
  }
}

TEST(JsonWriter, CommasAndNesting) {
  JsonWriter w;
  w.BeginObject();
  w.Key("a").Number(int64_t{-3});
  w.Key("b").BeginArray().EndArray();
  w.Key("c")
      .BeginArray()
      .Number(1.5, 3)
      .Bool(true)
      .BeginObject()
      .EndObject()
      .Raw("null")
      .EndArray();
  w.Key("d").Number(std::nan(""), 3);
  w.Key("e\"").String("x");
  w.EndObject();
  EXPECT_EQ(w.Text(), "{\"a\":-3,\"b\":[],\"c\":[1.500,true,{},null],\"d\":null,\"e\\\"\":\"x\"}");
  EXPECT_TRUE(ParseJson(w.Text()));
}

TEST(RunReport, RecordHasEveryFieldAndTimesInUtc) {
  UnitRecord r;
  r.unit = "ttyUSB0";
  r.script = "load \"x\".sld";
  r.port = "/dev/ttyUSB0";
  r.baud = 115200;
  r.start = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796711101123));
  r.end = r.start + std::chrono::milliseconds(61877);
  r.exitStatus = 1;
  r.message = "Unsuccessful.  Upload terminated by user.";
  r.errors = {"Error! one", "Error! two"};
  r.files = {{"a.bin", 3, "126", "8000", "V1", "9f86d0", 1, 0.25},
             {"b.bin", 0, "0", "9000", "V1", "", 1, 0, 2}};
  r.replies = {{"SN", "SERIAL NO ZK-004711"}, {"VER", ""}};
  auto parsed = ParseJson(ReportJson({RecordJson(r), RecordJson(UnitRecord{})}));
  ASSERT_TRUE(parsed);
  const auto& u = (*parsed)["units"][0];
  EXPECT_EQ(u["unit"].text, "ttyUSB0");
  EXPECT_EQ(u["script"].text, "load \"x\".sld");
  EXPECT_EQ(u["start"].text, "2026-12-08T06:25:01.123Z");
  EXPECT_EQ(u["end"].text, "2026-12-08T06:26:03.000Z");
  EXPECT_EQ(u["outcome"].text, "failed");
  EXPECT_EQ(u["errors"].items.size(), 2u);
  const auto& f = u["files"][0];
  EXPECT_EQ(f["checksum"].text, "126");
  EXPECT_EQ(f["blocks"].number, 1);
  EXPECT_EQ(f["seconds"].number, 0.25);
  EXPECT_FALSE(f.Has("board"));  // on a port
  EXPECT_EQ(u["files"][1]["board"].number, 2);
  EXPECT_EQ(f["sha256"].text, "9f86d0");
  ASSERT_EQ(u["replies"].items.size(), 2u);
  EXPECT_EQ(u["replies"][0]["query"].text, "SN");
  EXPECT_EQ(u["replies"][0]["reply"].text, "SERIAL NO ZK-004711");
  EXPECT_EQ(u["replies"][1]["reply"].text, "");
  EXPECT_FALSE(u.Has("station"));  // history fields only in the history's JSON
  r.adapter = std::nullopt;
  auto history = ParseJson(RecordJson(r, true));
  ASSERT_TRUE(history);
  EXPECT_TRUE((*history)["adapter"].type == testing::JsonValue::Type::kNull);
  EXPECT_TRUE(history->Has("script_sha256"));
  EXPECT_EQ((*parsed)["units"][1]["outcome"].text, "not started");
  EXPECT_EQ(std::string(OutcomeOf(0)), "completed");
  EXPECT_EQ(std::string(OutcomeOf(130)), "failed");
}

TEST(RunReport, WrittenWholeOrNotAtAll) {
  const fs::path dir =
      fs::path(::testing::TempDir()) / ("zarnik-report-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string path = (dir / "r.json").string();
  std::string error;
  ASSERT_TRUE(CanWriteFile(path, "report", error)) << error;
  EXPECT_FALSE(fs::exists(path));  // the check leaves nothing behind
  std::ofstream(path) << "old";
  ASSERT_TRUE(WriteFileAtomically(path, "report", "{\"units\":[]}\n", error)) << error;
  std::ifstream in(path);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "{\"units\":[]}\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

  EXPECT_FALSE(CanWriteFile((dir / "none" / "r.json").string(), "report", error));
  EXPECT_NE(error.find("none/r.json"), std::string::npos) << error;
  EXPECT_FALSE(CanWriteFile(dir.string(), "report", error));
  EXPECT_FALSE(WriteFileAtomically((dir / "none" / "r.json").string(), "report", "x", error));
  // The file asked for, not the temporary one.
  EXPECT_EQ(error, "cannot write report " + (dir / "none" / "r.json").string() +
                       ": No such file or directory");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace zarnik
