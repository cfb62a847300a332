// Reading the .mot file: lines, records, image header, and what is refused.
#include <gtest/gtest.h>

#include "MotTestUtil.h"
#include "ScratchDir.h"
#include "ScriptedPresenter.h"
#include "TestCatalogue.h"
#include "U_DecodeFileMot.h"
#include "U_Divers.h"
#include "U_Textes.h"

namespace {

namespace fs = std::filesystem;

class DecodeFileMot : public ::testing::Test {
 protected:
  TCatalogueScope Catalogue;
  TScriptedPresenter Presenter;

  // Exactly one message, of this kind and key, with its catalogue text.
  void ExpectOnly(TMsgKind kind, const std::string& key) {
    ASSERT_EQ(Presenter.Shown.size(), 1u) << key;
    EXPECT_EQ(Presenter.Shown[0].Key, key);
    EXPECT_EQ(Presenter.Shown[0].Kind, kind) << key;
    EXPECT_FALSE(Presenter.Shown[0].Text.empty());
    EXPECT_EQ(Presenter.Shown[0].Text, GetTexte(key));
  }
  void ExpectRefused(const std::string& text, TMsgKind kind, const std::string& key) {
    TObjFileMot mot;
    EXPECT_FALSE(mot.LoadText(text));
    ExpectOnly(kind, key);
    Presenter.Clear();
  }
  TStringList Records(const TStringList& lines, bool* newLayout = nullptr) {
    TStringList records;
    bool nl = false;
    EXPECT_TRUE(DecodeRecords(lines, records, nl));
    if (newLayout) *newLayout = nl;
    return records;
  }
};

TEST_F(DecodeFileMot, RecordTextsFromTheSecondLineToTheEndRecordWithoutTheChecksum) {
  EXPECT_EQ(Records({"S0", "S107001001020304DE", "S9"}), TStringList({"0010,4,01020304"}));
  EXPECT_EQ(Records({"S0", "S107001001020304FF", "S9"}), TStringList({"0010,4,01020304"}));
  EXPECT_EQ(Records({"S0", "S2070180F8AABBCC00", "S30700001000DDEE00", "S804000000FB"}),
            TStringList({"0180F8,3,AABBCC", "00001000,2,DDEE"}));
  // The first line is never read and the end record stops decoding.
  // A data record on line 1 is not read.
  EXPECT_EQ(Records({"S107002001020304CE", "S107001001020304DE", "S9"}), TStringList({"0010,4,01020304"}));
  // S9 of two characters and S8 with anything after it end the file; what
  // follows is not looked at.
  EXPECT_EQ(Records({"S0", "S107001001020304DE", "S9", "garbage", ""}).size(), 1u);
  EXPECT_EQ(Records({"S0", "S107001001020304DE", "S8 whatever", "S1zz"}).size(), 1u);
  // Records of type 0, 5 and 6 are skipped.
  EXPECT_EQ(Records({"S0", "S0030000FC", "S107001001020304DE", "S5030001FB", "S6040000010A", "S9"}).size(),
            1u);
  EXPECT_TRUE(Presenter.Shown.empty());
}

TEST_F(DecodeFileMot, NewLayoutFollowsTheFirstDataRecordOnly) {
  bool nl = false;
  Records({"S0", "S1070000FFFF0304DE", "S9"}, &nl);
  EXPECT_TRUE(nl);
  Records({"S0", "S107000001020304DE", "S1070010FFFF0304DE", "S9"}, &nl);
  EXPECT_FALSE(nl);
  Records({"S0", "S5030001FB", "S1070000FFFF0304DE", "S9"}, &nl);
  EXPECT_TRUE(nl);
}

TEST_F(DecodeFileMot, LinesEndAtCrLfLfOrCr) {
  EXPECT_EQ(SplitLines("a\r\nb\nc\rd"), TStringList({"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLines("a\n\nb\r\n"), TStringList({"a", "", "b"}));
  EXPECT_EQ(SplitLines("\r\r\n"), TStringList({"", ""}));
  EXPECT_TRUE(SplitLines("").empty());
  const std::string body = "S0\nS107001001020304DE\rS9";
  TObjFileMot mot;
  EXPECT_FALSE(mot.LoadText(body));  // decodes, then the header is refused
  ExpectOnly(TMsgKind::Plain, "_AppliDiff");
}

TEST_F(DecodeFileMot, MalformedLinesAreRefusedWithTheirMessage) {
  const auto I = TMsgKind::Information;
  ExpectRefused("", I, "_Err_FileEmpty");
  ExpectRefused("S00600004844521B", I, "_Err_FileError");          // a file of one line
  ExpectRefused("S0\nS107001001020304DE\n", I, "_Err_FileError");  // no end record
  ExpectRefused("S0\n\nS9\n", I, "_Err_FileError");
  ExpectRefused("S0\nX107001001020304DE\nS9\n", I, "_Err_FileError");
  ExpectRefused("S0\nS\nS9\n", I, "_Err_FileError");
  ExpectRefused("S0\nSA07001001020304DE\nS9\n", I, "_Err_FileError");
  ExpectRefused("S0\nS107001001020304DE \nS9\n", I, "_ErrBadData");  // a blank after the checksum
  ExpectRefused("S0\nS107001001020304\nS9\n", I, "_ErrBadData");
  ExpectRefused("S0\nS1\nS9\n", I, "_ErrBadData");
  // Hexadecimal digits are upper case only, in every field.
  ExpectRefused("S0\nS1g7001001020304DE\nS9\n", I, "_Err_FileError");  // count
  ExpectRefused("S0\nS10700a001020304DE\nS9\n", I, "_Err_FileError");  // address
  ExpectRefused("S0\nS107001001020a04DE\nS9\n", I, "_Err_FileError");  // data
  ExpectRefused("S0\nS107001001020304de\nS9\n", I, "_Err_FileError");  // checksum
  // S4 has no meaning and S7 is not an end record.
  ExpectRefused("S0\nS107001001020304DE\nS4030000FC\nS9\n", I, "_Err_FileError");
  ExpectRefused("S0\nS107001001020304DE\nS70500000000FA\n", I, "_Err_FileError");
  // A count that does not even cover the address and checksum.
  ExpectRefused("S0\nS1020000\nS9\n", I, "_Err_LengthData");
  ExpectRefused("S0\nS10100\nS9\n", I, "_Err_LengthData");
  ExpectRefused("S0\nS300\nS9\n", I, "_Err_LengthData");
}

TEST_F(DecodeFileMot, ReadsTheHeaderOfBothLayouts) {
  TObjFileMot mot;
  ASSERT_TRUE(mot.LoadText(MotFile(HeaderPage(true, "15/06/2009"), 0x8000)));
  EXPECT_TRUE(Presenter.Shown.empty());
  EXPECT_TRUE(mot.NewLayout);
  EXPECT_EQ(mot.AppliType, 9);
  EXPECT_EQ(mot.VersionName, "fv1234");
  EXPECT_EQ(mot.AppliDate, (TAppliDate{2009, 6, 15}));
  EXPECT_EQ(mot.AppliDate.ToIso(), "2009-06-15");
  EXPECT_EQ(mot.BlockCount, 2);
  EXPECT_EQ(mot.FirstPage, 0x80u);
  EXPECT_EQ(mot.LineCount, 6u);
  EXPECT_EQ(mot.Lines, TStringList({"S00600004844521B"}));  // the header line only

  ASSERT_TRUE(mot.LoadText(MotFile(HeaderPage(true, "15-06-2009"), 0)));
  EXPECT_EQ(mot.AppliDate, (TAppliDate{2009, 6, 15}));
  ASSERT_TRUE(mot.LoadText(MotFile(HeaderPage(false, "Jun  9 2009"), 0)));
  EXPECT_FALSE(mot.NewLayout);
  EXPECT_EQ(mot.AppliDate, (TAppliDate{2009, 6, 9}));
  ASSERT_TRUE(mot.LoadText(MotFile(HeaderPage(true, "29/02/2008"), 0)));
  // The version name is taken as it stands.
  ASSERT_TRUE(mot.LoadText(MotFile(HeaderPage(true, "01/01/2010", 9, std::string(" v\0\xE9 ", 5)), 0)));
  EXPECT_EQ(mot.VersionName, std::string(" v\0\xE9  ", 6));
  EXPECT_TRUE(Presenter.Shown.empty());
}

TEST_F(DecodeFileMot, RefusesAWrongApplicationOrDate) {
  const auto P = TMsgKind::Plain;
  ExpectRefused(MotFile(HeaderPage(true, "15/06/2009", 14), 0), P, "_AppliDiff");
  ExpectRefused(MotFile(HeaderPage(false, "jun  9 2009"), 0), P, "_BadDateAppliMot");  // case counts
  ExpectRefused(MotFile(HeaderPage(false, "15/06/2009"), 0), P, "_BadDateAppliMot");   // wrong layout
  // The header lies in block 0: a short first page leaves 0xFF there.
  ExpectRefused(MotFile(TBytes(16, 0x00), 0), P, "_AppliDiff");
}

TEST_F(DecodeFileMot, OnlyTwoBytesFFAtTheImageStartSelectTheNewerDateLayout) {
  // FF followed by anything but FF keeps the older layout: the image loads
  // with its "Mmm DD YYYY" date, and a "DD/MM/YYYY" date is not read.
  for (int second : {0x00, 0x0F, 0xF0, 0xFE}) {
    SCOPED_TRACE(second);
    TBytes older = HeaderPage(false, "Jun  9 2009");
    older[0] = 0xFF;
    older[1] = static_cast<uint8_t>(second);
    TObjFileMot mot;
    ASSERT_TRUE(mot.LoadText(MotFile(older, 0x8000)));
    EXPECT_FALSE(mot.NewLayout);
    EXPECT_EQ(mot.AppliDate, (TAppliDate{2009, 6, 9}));
    EXPECT_EQ(mot.Blocks.GetItem(0).Buffer[0], 0xFF);  // sent as it stands
    EXPECT_EQ(mot.Blocks.GetItem(0).Buffer[1], second);
    EXPECT_TRUE(Presenter.Shown.empty());
    TBytes newer = HeaderPage(true, "15/06/2009");
    newer[1] = static_cast<uint8_t>(second);
    ExpectRefused(MotFile(newer, 0x8000), TMsgKind::Plain, "_BadDateAppliMot");
  }
  // FF FF before an older-layout date: the date is read as "DD/MM/YYYY".
  ExpectRefused(MotFile(HeaderPage(true, "Jun  9 2009"), 0), TMsgKind::Plain, "_BadDateAppliMot");
}

TEST_F(DecodeFileMot, HeaderDatesMustBeCalendarDates) {
  // Month 00: without its check the days of the month would be read before
  // the month table, which only the undefined-behaviour sanitizer reports.
  for (const char* date :
       {"00/06/2009", "15/00/2009", "31/04/2009", "31/06/2009", "29/02/1900", "29/02/2100", "15/06/0000",
        "32/01/2009", "-1/06/2009", "31/02/2009", "29/02/2009", "15/13/2009", "15/06/20x9"}) {
    SCOPED_TRACE(date);
    ExpectRefused(MotFile(HeaderPage(true, date), 0), TMsgKind::Plain, "_BadDateAppliMot");
  }
  for (const char* date : {"Jun 00 2009", "Apr 31 2009", "Feb 29 1900", "Feb 29 2100", "Jun 15 0000"}) {
    SCOPED_TRACE(date);
    ExpectRefused(MotFile(HeaderPage(false, date), 0), TMsgKind::Plain, "_BadDateAppliMot");
  }
  const std::pair<const char*, TAppliDate> good[] = {{"29/02/2000", {2000, 2, 29}},
                                                     {"30/04/2009", {2009, 4, 30}},
                                                     {"31/12/9999", {9999, 12, 31}},
                                                     {"01/01/0001", {1, 1, 1}}};
  for (const auto& [date, expected] : good) {
    SCOPED_TRACE(date);
    TObjFileMot mot;
    ASSERT_TRUE(mot.LoadText(MotFile(HeaderPage(true, date), 0)));
    EXPECT_EQ(mot.AppliDate, expected);
  }
  TObjFileMot mot;
  ASSERT_TRUE(mot.LoadText(MotFile(HeaderPage(false, "Feb 29 2000"), 0)));
  EXPECT_EQ(mot.AppliDate, (TAppliDate{2000, 2, 29}));
  EXPECT_TRUE(Presenter.Shown.empty());
}

TEST_F(DecodeFileMot, ARefusedDecodingLeavesTheRecordListAsItWas) {
  TStringList records = {"kept"};
  bool nl = false;
  EXPECT_FALSE(DecodeRecords({"S0", "S107001001020304DE", "S1070020"}, records, nl));
  EXPECT_EQ(records, TStringList({"kept"}));
  ExpectOnly(TMsgKind::Information, "_ErrBadData");
}

TEST_F(DecodeFileMot, DateOrderAndConversions) {
  EXPECT_LT((TAppliDate{2009, 6, 15}), (TAppliDate{2009, 6, 16}));
  EXPECT_LT((TAppliDate{2008, 12, 31}), (TAppliDate{2009, 1, 1}));
  EXPECT_GE((TAppliDate{2009, 7, 1}), (TAppliDate{2009, 6, 30}));
  EXPECT_EQ(HexToInt(""), 0);
  EXPECT_EQ(HexToInt("80F8"), 0x80F8);
  EXPECT_EQ(HexToInt("FFFFFFFF"), -1);
  EXPECT_THROW(HexToInt("8a"), EConvertError);
  EXPECT_THROW(HexDigitValue(" "), EConvertError);
  EXPECT_EQ(MonthNumber("Dec"), 12);
  EXPECT_EQ(MonthNumber("DEC"), 255);
  EXPECT_EQ(StrToIntDef(" 9", -1), 9);
  EXPECT_EQ(StrToIntDef("9 ", -1), -1);
}

class LoadFromFolder : public DecodeFileMot, protected TScratchDir {};

// The first ".mot" file of the folder by name, whatever its case; none is
// told, and a file that cannot be read is reported, not thrown.
TEST_F(LoadFromFolder, TakesTheFirstMotFileByNameNoneIsToldUnreadableReported) {
  Write("firmware.txt", MotFile(HeaderPage(true, "15/06/2009"), 0));
  fs::create_directories(Dir / "folder.mot");  // a folder is not a firmware file
  TObjFileMot mot;
  for (const fs::path& folder : {Dir, Dir / "missing"}) {
    EXPECT_FALSE(mot.Load(folder.string()));
    ExpectOnly(TMsgKind::Plain, "_FileMotNoFile");
    Presenter.Clear();
  }
  fs::create_directories(Dir / "a.mot");
  Write("C.MOT", MotFile(HeaderPage(true, "15/06/2009", 9, "fvCCCC"), 0));
  Write("b.mot", MotFile(HeaderPage(true, "15/06/2009", 9, "fvBBBB"), 0));
  ASSERT_TRUE(mot.Load(Dir.string()));
  EXPECT_EQ(mot.VersionName, "fvBBBB");
  EXPECT_EQ(fs::path(mot.FileName).filename(), "b.mot");
  EXPECT_TRUE(Presenter.Shown.empty());
  for (const fs::path& path : {Dir / "none.mot", Dir}) {
    EXPECT_FALSE(mot.LoadFile(path.string()));
    ASSERT_EQ(Presenter.Shown.size(), 1u);
    EXPECT_EQ(Presenter.Shown[0].Key, "_Err_FileMotNotFound");
    EXPECT_NE(Presenter.Shown[0].Text.find(path.string()), std::string::npos);
    Presenter.Clear();
  }
}

}  // namespace
