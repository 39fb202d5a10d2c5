// Importing host lists: each format's good and bad lines, merging into the rows there are, the
// length the file can store, and files that are no host list at all.
#include "model/HostImport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "model/IniDocument.h"
#include "model/TempDir.h"

namespace varnley {
namespace {

using Format = ImportPreview::Format;

}  // namespace

void PrintTo(const MonitoredHost& row, std::ostream* os) {
  *os << "{" << row.host << " | " << row.ports << " | " << row.deactivated << "}";
}

namespace {

std::vector<std::string> Refusals(const ImportPreview& preview) {
  std::vector<std::string> out;
  for (const ImportRefusal& r : preview.refusals) out.push_back(r.text());
  return out;
}

struct FormatCase {
  const char* name;
  const char* content;
  Format format;
  std::vector<MonitoredHost> rows;
  std::vector<std::string> refusals;
};

class ImportFormats : public ::testing::TestWithParam<FormatCase> {};

TEST_P(ImportFormats, ReadsGoodLinesAndNamesEachBadOne) {
  const FormatCase& c = GetParam();
  const ImportPreview preview = PreviewImport(c.content, {});
  ASSERT_FALSE(preview.failure) << *preview.failure;
  EXPECT_EQ(preview.format, c.format);
  EXPECT_EQ(preview.rows, c.rows);
  EXPECT_EQ(Refusals(preview), c.refusals);
}

INSTANTIATE_TEST_SUITE_P(
    AllShapes, ImportFormats,
    ::testing::Values(
        FormatCase{"Text",
                   "# inventory\n"
                   "10.0.0.5:80,443\n"
                   "\n"
                   "10.0.0.6 22 80   # ssh and web\n"
                   "10.0.0.7\n"
                   "010.0.0.5:8080\n"
                   "10.0.0.300:80\n"
                   "10.0.0.8:70000,25\n"
                   "10.0.0.9:abc\n"
                   "DB.Example.com.:5432\n"
                   "[::0001]:8080\n"
                   "::1 8081\n",
                   Format::Text,
                   {{"10.0.0.5", "80,443,8080,", ""},
                    {"10.0.0.6", "22,80,", ""},
                    {"10.0.0.7", "", ""},
                    {"10.0.0.8", "25,", ""},
                    {"db.example.com", "5432,", ""},
                    {"::1", "8080,8081,", ""}},
                   {"line 7: 10.0.0.300 is not a valid address",
                    "line 8: port 70000 is out of range", "line 9: \"abc\" is not a port"}},
        FormatCase{"CsvAnyColumnOrderQuotedFields",
                   "name,port,host\r\n"
                   "\"web, front\",80,10.0.0.5\r\n"
                   "db,\"5432, 5433\",10.0.0.6\r\n"
                   "\"multi\nline\",22,10.0.0.7\r\n"
                   "bad,99999,10.0.0.8\r\n"
                   "short\r\n",
                   Format::Csv,
                   {{"10.0.0.5", "80,", ""}, {"10.0.0.6", "5432,5433,", ""}, {"10.0.0.7", "22,", ""}},
                   {"line 6: port 99999 is out of range",
                    "line 7: the record has no host or port column"}},
        FormatCase{"Json",
                   "[\n"
                   "  {\"targets\": [\"10.0.0.5:9100\", \"10.0.0.6:9100\"],\n"
                   "   \"labels\": {\"job\": \"node\", \"n\": [1, {\"x\": null}]}},\n"
                   "  {\"labels\": {}, \"targets\": [\"10.0.0.5:9101\",\n"
                   "                               \"10.0.0.256:1\"]}\n"
                   "]\n",
                   Format::Json,
                   {{"10.0.0.5", "9100,9101,", ""}, {"10.0.0.6", "9100,", ""}},
                   {"line 5: 10.0.0.256 is not a valid address"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Import, MergesIntoExistingRowsWithoutRemovingAnythingAndCountsWhatChanges) {
  const std::vector<MonitoredHost> existing = {{"10.0.0.5", "80,", "80,"}, {"10.0.0.6", "22,", ""}};
  const ImportPreview preview =
      PreviewImport("10.0.0.5:443,80\n10.0.0.6:22\n10.0.0.7:1\n10.0.0.7:2\n", existing);
  EXPECT_EQ(preview.rows, (std::vector<MonitoredHost>{{"10.0.0.5", "80,443,", "80,"},
                                                      {"10.0.0.6", "22,", ""},
                                                      {"10.0.0.7", "1,2,", ""}}));
  EXPECT_EQ(preview.summary(),
            "1 host added, 1 merged into existing rows, 1 already there; "
            "3 ports added, 2 already there");
  EXPECT_TRUE(preview.changesTable());
  EXPECT_FALSE(PreviewImport("10.0.0.6:22\n", existing).changesTable());
}

TEST(Import, PortsBeyondWhatTheFileCanStoreAreRefusedWithTheirReason) {
  std::string content = "10.0.0.5:";
  for (int port = 10000; port < 10500; ++port) content += std::to_string(port) + ",";
  const ImportPreview preview = PreviewImport(content, {});
  ASSERT_EQ(preview.rows.size(), 1u);
  EXPECT_LE(preview.rows[0].ports.size(), kMaxIniValueLength);
  EXPECT_EQ(preview.portsAdded + preview.refusals.size(), 500u);
  ASSERT_FALSE(preview.refusals.empty());
  EXPECT_EQ(preview.refusals[0].text(), "line 1: port " + std::to_string(10000 + preview.portsAdded) +
                                            " does not fit: the settings file keeps 2047 "
                                            "characters of ports for 10.0.0.5");
}

TEST(Import, FilesThatAreNoHostListAreRefusedWhole) {
  const std::vector<MonitoredHost> existing = {{"10.0.0.5", "80,", ""}};
  EXPECT_EQ(PreviewImport(std::string("10.0.0.5:80\n\0\x01\x02", 15), existing).failure,
            "the file is not text (it holds NUL bytes)");
  const ImportPreview json = PreviewImport("[{\"targets\": [\"10.0.0.5:81\"]", existing);
  ASSERT_TRUE(json.failure);
  EXPECT_EQ(json.rows, existing);

  test::TempDir dir;
  const std::string huge = dir.file("huge.txt");
  test::WriteText(huge, "10.0.0.5:81");
  std::filesystem::resize_file(huge, 1ull << 30);  // sparse: one line of 1 GiB
  const ImportPreview big = PreviewImportFile(huge, existing);
  ASSERT_TRUE(big.failure);
  EXPECT_EQ(big.rows, existing);
  EXPECT_EQ(PreviewImportFile(dir.file("none.txt"), existing).failure,
            dir.file("none.txt") + ": no such file");
}

TEST(Import, TenThousandLinesReadQuickly) {
  std::string content;
  for (int i = 0; i < 10000; ++i)
    content += "10." + std::to_string(i / 250) + "." + std::to_string(i % 250) + ".1:" +
               std::to_string(1000 + i % 7) + "\n";
  const auto start = std::chrono::steady_clock::now();
  const ImportPreview preview = PreviewImport(content, {});
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(preview.hostsAdded, 10000u);
  EXPECT_TRUE(preview.refusals.empty());
  EXPECT_LT(took, std::chrono::seconds(1));
}

TEST(Export, CsvListsEveryPortWithItsStateAndTextReadsBackTheSameRows) {
  const std::vector<MonitoredHost> rows = {{"10.0.0.5", "80,443,", "443,"}, {"10.0.0.6", "", ""}};
  EXPECT_EQ(ExportHostsCsv(rows, true), "host,port,state\n10.0.0.5,80,up\n10.0.0.5,443,down\n");
  EXPECT_EQ(ExportHostsCsv(rows, false),
            "host,port,state\n10.0.0.5,80,unknown\n10.0.0.5,443,unknown\n");
  const std::string text = ExportHostsText(rows);
  EXPECT_EQ(text, "10.0.0.5:80,443\n10.0.0.6\n");
  std::vector<MonitoredHost> back = PreviewImport(text, {}).rows;
  EXPECT_EQ(back, (std::vector<MonitoredHost>{{"10.0.0.5", "80,443,", ""}, {"10.0.0.6", "", ""}}));
  EXPECT_EQ(PreviewImport(ExportHostsCsv(rows, true), {}).rows[0].ports, "80,443,");
}

}  // namespace
}  // namespace varnley
