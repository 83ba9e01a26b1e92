// The viewer without a terminal: keys into the model, the grid the layout makes out of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/chunked_file.h"
#include "engine/hex_text.h"
#include "engine/output_file.h"
#include "engine/patch.h"
#include "engine/patch_list.h"
#include "engine/text_bytes.h"
#include "engine/xxh64.h"
#include "view/layout.h"
#include "view/model.h"
#include "view/screen.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace tessaloom::cli::view {
namespace {

// The viewer on files holding contents, on a screen of width by height cells.
class Viewer {
  public:
    explicit Viewer(const std::vector<std::string>& contents, std::size_t width = 78,
                    std::size_t height = 12)
        : width_(width), height_(height) {
        std::vector<std::unique_ptr<Document>> documents;
        for (const std::string& content : contents) {
            files_.push_back(std::make_unique<TemporaryFile>(textBytes(content)));
            documents.push_back(std::make_unique<Document>(files_.back()->path()));
        }
        model_ = std::make_unique<Model>(std::move(documents));
        model_->resize(geometryFor(width, height, contents.size(), model_->length()).pane);
        settle();
    }

    // Types bytes as a terminal sends them; false once the viewer closed.
    bool press(std::string_view bytes) {
        VtKeyDecoder decoder;
        std::vector<Key> keys;
        decoder.feed(bytes, keys);
        decoder.flush(keys);
        for (const Key& key : keys) {
            if (!model_->handle(key)) {
                return false;
            }
            settle();
        }
        return true;
    }
    Grid grid() { return render(*model_, width_, height_); }
    Model& model() { return *model_; }
    const TemporaryFile& file(std::size_t i) const { return *files_[i]; }

  private:
    void settle() {
        while (model_->busy()) {
            model_->work();
        }
    }
    std::vector<std::unique_ptr<TemporaryFile>> files_;
    std::unique_ptr<Model> model_;
    std::size_t width_;
    std::size_t height_;
};

struct RowCheck {
    std::size_t row;
    std::string text;    // found in the row's text
    std::string styles;  // the row's style letters start so (see styleLetter)
};

struct ViewCase {
    std::string name;
    std::vector<std::string> files;
    std::string keys;
    std::vector<RowCheck> rows;
    std::size_t width = 78;
};

const std::string kSample("Hi\0\xff\t ~\x01", 8);
const std::string kSampleRow =
    "00000000  48 69 00 FF 09 20 7E 01                           |Hi... ~.        |";
const std::string kElf = std::string(
                             "\x7f"
                             "ELF\x02\x01\x01") +
                         std::string(57, '\0');

// Style letters: o offset, # cursor, p printable, 0 zero, h high, w white space, a other ASCII,
// C changed, D differs, F field under the cursor, M map marker, z map of zeros.
const ViewCase kViewCases[] = {
    {"open",
     {kSample},
     "",
     {{0, kSampleRow, "oooooooo..##.pp.00.hh.ww.ww.pp.aa"},
      {10, "  8 bytes  0x0 (0)  ? help", "SSS"}}},
    {"edit hex",
     {kSample},
     "le41\x1b",
     {{0, "48 41 00", "oooooooo..pp.CC.##"}, {10, "0x2 (2)  1 change", ""}}},
    {"undo",
     {kSample},
     "le41\x1bu",
     {{0, "48 69 00", "oooooooo..pp.##.00"}, {10, "0x1 (1)  ? help", ""}}},
    {"edit text, undo, redo",
     {kSample},
     "e\tAB\x1bu\x12",
     {{0, "41 42 00 FF", "oooooooo..CC.##"}, {0, "|AB.", ""}, {10, "0x1 (1)  2 changes", ""}}},
    {"edit past the end", {"ab", "abc"}, "GeF", {{11, "Past the end", ""}}},
    {"overwrite shown", {kSample}, "e", {{10, "0x0 (0)  [EDIT HEX OVR]  ? help", ""}}},
    {"insert hex",
     {kSample},
     "le\x1b[2~41",
     {{0, "48 41 69 00 FF 09 20 7E  01 ", "oooooooo..pp.CC.#p.00.hh"},
      {10, "9 bytes  0x2 (2)  [EDIT HEX INS]  1 change", ""}}},
    {"insert undone as one edit, then redone",
     {kSample},
     "le\x1b[2~41\x1bu\x12",
     {{0, "48 41 69", "oooooooo..pp.##.pp"}, {10, "9 bytes  0x1 (1)  1 change", ""}}},
    {"insert undone",
     {kSample},
     "le\x14"
     "41\x1bu",
     {{0, kSampleRow, ""}, {10, "8 bytes  0x1", ""}}},
    {"append text past the last byte",
     {kSample},
     "Ge\x14\x1b[C\tAB",
     {{0, "7E 01  41 42     ", "oooooooo..pp.pp.00.hh.ww.ww.pp.aa..CC.CC.##"},
      {10, "10 bytes  0xA (10)  [EDIT TEXT INS]  2 changes", ""}}},
    {"append, then leave",
     {kSample},
     "Ge\x14\x1b[C\tAB\x1b",
     {{0, "7E 01  41 42 ", ""}, {10, "10 bytes  0x9 (9)  2 changes", ""}}},
    {"delete: the bytes after move and stay unmarked",
     {kSample},
     "le\x1b[3~\x1b",
     {{0, "48 00 FF 09 20 7E 01    ", "oooooooo..pp.##.hh.ww.ww.pp.aa"},
      {10, "7 bytes  0x1 (1)  1 change", ""}}},
    {"backspace while inserting deletes the byte before",
     {kSample},
     "lle\x14\x7f\x1b",
     {{0, "48 00 FF", "oooooooo..pp.##.hh"}, {10, "7 bytes  0x1 (1)  1 change", ""}}},
    {"backspace while overwriting goes back",
     {kSample},
     "lle\x7f\x1b",
     {{10, "8 bytes  0x1 (1)  ? help", ""}}},
    {"delete the last byte",
     {kSample},
     "Ge\x1b[3~\x1b[3~\x1b",
     {{10, "6 bytes  0x5 (5)  2 changes", ""}}},
    {"delete past the end", {""}, "e\x1b[3~", {{11, "Past the end", ""}}},
    {"insert into an empty file",
     {""},
     "e\x14\tA",
     {{0, "41   ", "oooooooo..CC.##"}, {10, "0x1 (1)  [EDIT TEXT INS]  1 change", ""}}},
    {"no inserting with two files",
     {"ab", "ab"},
     "e\x14",
     {{11, "No inserting or deleting with two files", ""}}},
    {"no deleting with two files",
     {"ab", "ab"},
     "e\x1b[3~",
     {{11, "No inserting or deleting with two files", ""}, {10, "0x0 (0)  [EDIT HEX OVR]", ""}}},
    {"empty file",
     {""},
     "jlGe4\x1b/\"a\"\r",
     {{10, "  0 bytes  0x0 (0)  ? help", ""}, {11, "Not found", ""}}},
    {"go to", {kSample}, "g0x5\r", {{10, "0x5 (5)", ""}}},
    {"go to relative", {kSample}, "g+3\rg-1\r", {{10, "0x2 (2)", ""}}},
    {"go to past the end", {kSample}, "g1KiB\r", {{11, "Past the end: the file has 8 bytes", ""}}},
    {"go to nonsense", {kSample}, "gzz\r", {{11, "Not an offset: zz", ""}}},
    {"go to before the start", {kSample}, "lg-2\r", {{11, "Before the start of the file: -2", ""}}},
    {"search text", {kSample}, "/\"~\"\r", {{10, "0x6 (6)", ""}, {11, "Found at 0x6", ""}}},
    {"search hex with wildcards", {kSample}, "/f? ?? 20\r", {{10, "0x3 (3)", ""}}},
    {"search again, backwards", {kSample}, "G/\"i\"\rN", {{10, "0x1 (1)", ""}}},
    {"search finds nothing", {kSample}, "/\"i\"\rn", {{10, "0x1 (1)", ""}, {11, "Not found", ""}}},
    {"bad pattern", {kSample}, "/4x\r", {{11, "Not a pattern", ""}}},
    {"quit with changes", {kSample}, "e41\x1bq", {{11, "Discard 1 change? (y/n)", ""}}},
    {"differences",
     {"abcdefgh", "abXdeYYh"},
     "]",
     {{1, "61 62 63 64 65 66 67 68", "oooooooo..pp.pp.##.pp.pp.DD.DD"},
      {10, "0x2 (2)  3 differing", ""}}},
    {"next difference", {"abcdefgh", "abXdeYYh"}, "]]", {{10, "0x5 (5)", ""}}},
    {"previous difference", {"abcdefgh", "abXdeYYh"}, "]]][", {{10, "0x2 (2)", ""}}},
    {"help", {kSample}, "?", {{0, "Keys (? colours and marks, any other key closes this)", ""}}},
    {"colours and marks",
     {kSample},
     "??",
     {{0, "Colours and marks", ""}, {1, "  00   a zero byte", "PP00PP"}, {10, "0x0 (0)", ""}}},
    {"help again", {kSample}, "???", {{0, "Keys", ""}}},
    {"help closed", {kSample}, "??x", {{0, kSampleRow, ""}}},
    {"field under the cursor",
     {kElf},
     "",
     {{0, "7F 45 4C 46", "oooooooo..##.FF.FF.FF.aa"}, {10, "e_ident > EI_MAG", ""}}},
    {"structure panel", {kElf}, "sjj\r", {{10, "0x5 (5)  e_ident > EI_DATA", ""}}},
    {"inspector",
     {"\x01\x02\x03\x04\x05\x06\x07\x08"},
     "",
     {{6, " 8 bit  u 1  i 1   16 bit  u 513  i 513", ""},
      {7, "32 bit  u 67305985  i 67305985", ""},
      {9, "float 1.53998961e-36   double 5.447603722011605e-270", ""}}},
    {"inspector big endian", {"\x01\x02\x03\x04\x05\x06\x07\x08"}, "t", {{6, "u 258  i 258", ""}}},
    {"region map",
     {std::string(8, '\0')},
     "",
     {{0, "", "oooooooo..##.00"}, {0, "\u25B6\u2588", ""}},
     80},
};

TEST(ViewTest, KeysMakeTheExpectedScreen) {
    for (const ViewCase& test : kViewCases) {
        Viewer viewer(test.files, test.width);
        viewer.press(test.keys);
        const Grid grid = viewer.grid();
        for (const RowCheck& check : test.rows) {
            EXPECT_NE(grid.text(check.row).find(check.text), std::string::npos)
                << test.name << ", row " << check.row << ":\n"
                << grid.text(check.row);
            EXPECT_EQ(grid.styles(check.row).substr(0, check.styles.size()), check.styles)
                << test.name << ", row " << check.row;
        }
    }
}

// The inspector shows each number whole or not at all: at any width its rows hold the full values
// or stop before one, marked with an ellipsis; from 62 columns on every number is shown, from 70
// the byte order's hint beside them.
TEST(ViewTest, InspectorNumbersAreNeverCut) {
    // -7.759047810296154e+288 as a double; its 64-bit integers are as long as they get.
    const std::string bytes = "\xe0\x39\x64\x94\x53\x7a\xe9\xfb";
    const std::string kWhole[] = {
        "u 18152174272483965408", "i -294569801225586208", "double -7.7590478102961535e+288",
        "float -1.15224722e-26",  "u 2489596384",          "i -1805370912",
        "little endian (t)",
    };
    for (const std::size_t width :
         std::initializer_list<std::size_t>{30, 45, 58, 61, 62, 70, 80, 89, 90, 120}) {
        Viewer viewer({bytes}, width, 14);
        const Grid grid = viewer.grid();
        std::string inspector;
        for (std::size_t row = 0; row < 14; ++row) {
            inspector += grid.text(row) + "\n";
        }
        for (const std::string& whole : kWhole) {
            // A value shown in part would show its label and first digits without the rest.
            const std::string start = whole.substr(0, whole.find(' ') + 3);
            const bool shown = inspector.find(whole) != std::string::npos;
            EXPECT_TRUE(shown || inspector.find(start) == std::string::npos)
                << width << " columns, " << whole << ":\n"
                << inspector;
            EXPECT_TRUE(shown || width < 62 || whole == "little endian (t)")
                << width << " columns, " << whole << ":\n"
                << inspector;
        }
        // Narrower than 58 columns the screen says it is too small.
        EXPECT_EQ(inspector.find("\u2026") != std::string::npos, width >= 58 && width < 70)
            << inspector;
    }
}

// The structure panel: beside the bytes on a wide screen (following the cursor once the keys are
// back with the bytes), over them on a narrow one; folding, going to the field that holds one,
// and finding fields by name or value whatever the case.
TEST(ViewTest, StructurePanelFoldsFindsAndFollows) {
    const struct {
        std::string keys;
        std::size_t width;
        std::string chosen;  // the label of the field chosen in the panel
        bool beside;         // the bytes still show beside the panel
        std::string shown;   // text of a row of the panel
        std::string status;  // text of the status or message line
    } kCases[] = {
        {"s", 78, "EI_MAG", false, "Structure: Enter goes", ""},
        {"s", 130, "EI_MAG", true, "Structure: Enter goes", ""},
        {"shh", 130, "e_ident", true, "\u25B8 e_ident", ""},
        {"shh ", 130, "e_ident", true, "\u25BE e_ident", ""},
        {"shhjj", 130, "e_machine", true, "e_type", "0x12 (18)"},
        {"shhl", 130, "e_ident", true, "\u25BE e_ident", ""},
        {"shhll", 130, "EI_MAG", true, "EI_CLASS", ""},
        {"s/ei_data\r", 78, "EI_DATA", false, "EI_DATA", ""},
        {"s/ei_data\r\r", 78, "EI_DATA", false, "", "0x5 (5)  e_ident > EI_DATA"},
        {"shhh/EI_osabi\r", 130, "EI_OSABI", true, "\u25BE e_ident", "0x7 (7)"},
        {"s/e_\rnnN", 130, "e_machine", true, "e_version", "0x12 (18)"},
        {"s/nowhere\r", 78, "EI_MAG", false, "", "No field holds \"nowhere\""},
        {"s\tll", 130, "EI_MAG", true, "Structure (s: keys to it, Esc closes)", "0x2 (2)"},
        {"s\tllllll", 130, "EI_VERSION", true, "EI_VERSION", "0x6 (6)"},
        {"shh\tllllll", 130, "e_ident", true, "\u25B8 e_ident", "0x6 (6)"},
        {"s\t\x1b", 130, "EI_MAG", true, "", ""},
    };
    for (const auto& test : kCases) {
        Viewer viewer({kElf}, test.width, 20);
        viewer.press(test.keys);
        const Model& model = viewer.model();
        const std::string name = test.keys + " at " + std::to_string(test.width);
        EXPECT_EQ(model.structure()[model.structureChoice()].label, test.chosen) << name;
        const Grid grid = viewer.grid();
        std::string screen;
        for (std::size_t row = 0; row < grid.height(); ++row) {
            screen += grid.text(row) + "\n";
        }
        EXPECT_EQ(screen.find("00000000  7F 45 4C 46") != std::string::npos,
                  test.beside || !model.structureShown())
            << name << ":\n"
            << screen;
        EXPECT_NE(screen.find(test.shown), std::string::npos) << name << ":\n" << screen;
        EXPECT_NE(screen.find(test.status), std::string::npos) << name << ":\n" << screen;
        if (test.keys.ends_with('\x1b')) {
            EXPECT_FALSE(model.structureShown()) << name << ":\n" << screen;
            EXPECT_EQ(screen.find("Structure"), std::string::npos) << name << ":\n" << screen;
        }
    }
}

// An archive of count stored entries of one byte, named e0, e1...
std::string zipOfEntries(std::size_t count) {
    const auto le = [](std::uint64_t value, int n) {
        std::string bytes;
        for (int i = 0; i < n; ++i, value >>= 8) {
            bytes.push_back(static_cast<char>(value & 0xFF));
        }
        return bytes;
    };
    std::string locals;
    std::string centrals;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string name = std::string("e").append(std::to_string(i));
        const std::string common =
            le(20, 2) + le(0, 8) + le(0, 4) + le(1, 4) + le(1, 4) + le(name.size(), 2) + le(0, 2);
        // After the name and extra lengths: the comment's length, the disk, the attributes.
        centrals +=
            "PK\x01\x02" + le(20, 2) + common + le(0, 6) + le(0, 4) + le(locals.size(), 4) + name;
        locals += "PK\x03\x04" + common + name + "x";
    }
    return locals + centrals + "PK\x05\x06" + le(0, 4) + le(count, 2) + le(count, 2) +
           le(centrals.size(), 4) + le(locals.size(), 4) + le(0, 2);
}

TEST(ViewTest, ObjectsInsideAreListedInThePanelAndNamedAtTheCursor) {
    // An archive 0x1235 bytes into bytes that hold nothing.
    const std::string content = std::string(0x1235, 'z') + zipOfEntries(3) + std::string(64, 'z');
    const struct {
        std::string keys;
        std::string chosen;  // the label of the row chosen in the panel
        std::string shown;   // text on the screen
        std::uint64_t cursor;
        std::size_t width = 130;
    } kCases[] = {
        {"o", "Objects", "1 object", 0},
        // Beside the bytes the view goes to the object chosen.
        {"oj", "zip", "zip, 3 entries, first \"e0\"", 0x1235},
        {"oj\r", "zip", "zip, 3 entries", 0x1235},
        // s lists the file's own structure again, at the field the cursor is in.
        {"oj\rs", "Signature", "Structure", 0x1235},
        {"o/3 entries\r", "zip", "zip, 3 entries", 0x1235},
        // On a narrow screen the panel closes and the status line names the object.
        {"oj\r", "zip", "Objects > zip", 0x1235, 78},
    };
    for (const auto& test : kCases) {
        Viewer viewer({content}, test.width, 20);
        viewer.press(test.keys);
        const Model& model = viewer.model();
        EXPECT_EQ(model.structure()[model.structureChoice()].label, test.chosen) << test.keys;
        EXPECT_EQ(model.structureShown(), test.width > 80) << test.keys;
        EXPECT_EQ(model.cursor(), test.cursor) << test.keys;
        const Grid grid = viewer.grid();
        std::string screen;
        for (std::size_t row = 0; row < grid.height(); ++row) {
            screen += grid.text(row) + "\n";
        }
        EXPECT_NE(screen.find(test.shown), std::string::npos) << test.keys << ":\n" << screen;
    }
}

// Once the objects are known, the status line names the one the cursor is in, also after s has
// listed the file's own structure again; before o, and between objects, it names none.
TEST(ViewTest, TheStatusLineNamesTheObjectAtTheCursor) {
    const std::string gzip("\x1f\x8b\x08\x00\0\0\0\0\0\x03\x03\0\0\0\0\0\0\0\0\0", 20);
    const std::string zip = zipOfEntries(3);
    const std::uint64_t gzipAt = 0x1235 + zip.size() + 0x100;
    const std::string content =
        std::string(0x1235, 'z') + zip + std::string(0x100, 'z') + gzip + std::string(64, 'z');
    // Appended piece by piece: MinGW's GCC warns of overlapping copies in a literal added to a
    // temporary string.
    std::string toGzip = "g";
    toGzip += std::to_string(gzipAt + 19);
    toGzip += "\r";
    // Esc closes the panel of objects, s lists the file's structure in it, Esc closes it.
    const std::string back = "o\x1bs\x1b";
    const struct {
        std::string keys;
        std::string named;     // in the status line; empty for no object
        bool listing = false;  // whether the panel lists the objects
    } kCases[] = {
        {"g0x1240\r", ""},
        {back, ""},
        {back + "g0x1235\r", "in zip at 0x1235"},
        {back + toGzip, "in gzip at 0x" + hexNumber(gzipAt, HexLetters::kUpper)},
        {back + "g" + std::to_string(gzipAt - 1) + "\r", ""},
        {back + toGzip + "l", ""},
        // While the panel lists the objects, the field at the cursor is the object.
        {"o\x1bg0x1240\r", "Objects > zip", true},
        {"oj\r", "Objects > zip", true},
    };
    for (const auto& test : kCases) {
        Viewer viewer({content}, 78, 20);
        viewer.press(test.keys);
        const Grid grid = viewer.grid();
        std::string status;
        for (std::size_t row = 0; row < grid.height(); ++row) {
            if (grid.text(row).find(" bytes  0x") != std::string::npos) {
                status = grid.text(row);
            }
        }
        if (test.named.empty()) {
            EXPECT_EQ(status.find(" in "), std::string::npos) << test.keys << ": " << status;
        } else {
            EXPECT_NE(status.find(test.named), std::string::npos) << test.keys << ": " << status;
        }
        EXPECT_EQ(viewer.model().listsObjects(), test.listing) << test.keys;
    }
}

// The headers of an archive of many entries are read when the panel opens them: an entry shows
// folded until then, its fields come in under it, and the view goes to them.
TEST(ViewTest, AnArchiveOfManyEntriesIsReadAsItsEntriesAreOpened) {
    Viewer viewer({zipOfEntries(5000)}, 130, 20);
    viewer.press("s");
    std::string screen;
    const auto show = [&] {
        const Grid grid = viewer.grid();
        screen.clear();
        for (std::size_t row = 0; row < grid.height(); ++row) {
            screen += grid.text(row) + "\n";
        }
    };
    show();
    EXPECT_NE(screen.find("\u25B8 e0 "), std::string::npos) << screen;
    EXPECT_EQ(screen.find("Local file header"), std::string::npos) << screen;
    const std::size_t rows = viewer.model().structure().size();
    viewer.press("jl");
    show();
    EXPECT_NE(screen.find("\u25BE e1 "), std::string::npos) << screen;
    EXPECT_NE(screen.find("Compressed size  1"), std::string::npos) << screen;
    EXPECT_GT(viewer.model().structure().size(), rows);
    const auto chosen = [&viewer] {
        return viewer.model().structure()[viewer.model().structureChoice()].label;
    };
    // The rows read in hold each other as the entry's fields do, and the rows after them keep
    // the fields that hold them.
    viewer.press(std::string(1, 'l').append(12, 'j'));
    EXPECT_EQ(chosen(), "File name");
    viewer.press("h");
    EXPECT_EQ(chosen(), "e1");
    viewer.press("Gh");
    EXPECT_EQ(chosen(), "End of central directory record");
    viewer.press("kkh");
    EXPECT_EQ(chosen(), "Central directory");
}

// A jump off the screen (to an offset, a field of the structure, a match, a difference, the next
// region) shows the row it lands on near the top, with a quarter of the rows above it; a jump
// inside the screen moves only the cursor, and one near the end shows no rows past it.
TEST(ViewTest, JumpsLandNearTheTop) {
    std::string elf = kElf + std::string(0x10000 - kElf.size(), '\0');
    elf[0x20] = '\x00';
    elf[0x21] = '\x80';  // e_phoff 0x8000
    elf[0x36] = 56;      // e_phentsize
    elf[0x38] = 1;       // e_phnum
    elf[0x4005] = 'Z';
    std::mt19937 random(7);
    for (std::size_t i = 0xC000; i < elf.size(); ++i) {
        elf[i] = static_cast<char>(random());
    }
    std::string other = elf;
    other[0x6003] ^= 1;
    const struct {
        const char* keys;
        std::uint64_t cursor;
        std::uint64_t top;
    } kJumps[] = {
        {"g0x3000\r", 0x3000, 0x3000 - 0x10 * 2},
        {"g0x3000\rg0x3010\r", 0x3010, 0x3000 - 0x10 * 2},  // already on the screen
        {"/\"Z\"\r", 0x4005, 0x4000 - 0x10 * 2},
        {"sG\r", 0x8030, 0x8030 - 0x10 * 2},  // p_align, the last field
        {"G", 0xFFFF, 0x10000 - 0x10 * 9},
        {"g0xFFF0\r", 0xFFF0, 0x10000 - 0x10 * 9},
    };
    for (const auto& jump : kJumps) {
        Viewer viewer({elf}, 100, 14);
        viewer.press(jump.keys);
        EXPECT_EQ(viewer.model().cursor(), jump.cursor) << jump.keys;
        EXPECT_EQ(viewer.model().top(), jump.top) << jump.keys;
    }
    Viewer two({elf, other}, 100, 24);
    two.press("]");
    EXPECT_EQ(two.model().cursor(), 0x6003U);
    EXPECT_EQ(two.model().top(), 0x6000U - 0x10);  // each file has half the rows
}

// However small the terminal, each row of bytes drawn is the file's row, cut only where the sidebar
// no longer fits (a row that ran past the edge would spill into the next), or the screen says it
// is too small.
TEST(ViewTest, EverySizeOfTerminalShowsTrueRowsOrSaysItIsTooSmall) {
    const std::string content = kSample + kSample + kSample;
    const auto trimmed = [](std::string text) {
        return text.erase(text.find_last_not_of(' ') + 1);
    };
    // The row at offset as --dump draws it.
    const auto expectedRow = [&](std::size_t offset, std::size_t width) {
        char line[16];
        std::snprintf(line, sizeof line, "%08zX  ", offset);
        std::string row = line;
        std::string text;
        for (std::size_t i = 0; i < 16; ++i) {
            const bool inside = offset + i < content.size();
            const auto byte = static_cast<unsigned char>(inside ? content[offset + i] : 0);
            std::snprintf(line, sizeof line, "%02X ", byte);
            row += inside ? line : "   ";
            row += i == 7 ? " " : "";
            text += !inside ? ' ' : byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '.';
        }
        return trimmed(width >= 78 ? row + " |" + text + "|" : row.substr(0, 58));
    };
    constexpr std::size_t kWidths[] = {1, 8, 20, 25, 26, 57, 58, 60, 74, 77, 78, 159, 162, 170};
    for (const std::size_t files : {std::size_t{1}, std::size_t{2}}) {
        for (std::size_t height = 1; height <= 14; ++height) {
            for (const std::size_t width : kWidths) {
                Viewer viewer(std::vector<std::string>(files, content), width, height);
                viewer.press("ljG?\x1b");
                const Grid grid = viewer.grid();
                const bool tooSmall =
                    grid.text(0).starts_with(std::string_view("Too small").substr(0, width));
                EXPECT_EQ(tooSmall, width < 58 || height < (files == 1     ? 3u
                                                            : width >= 162 ? 4u
                                                                           : 6u))
                    << files << " files, " << width << "x" << height;
                std::size_t rows = 0;
                for (std::size_t y = 0; y < height; ++y) {
                    // A row of bytes starts with its offset; in two columns, both do.
                    const std::string text = grid.text(y);
                    for (const std::size_t x : {std::size_t{0}, std::size_t{80}}) {
                        if (text.size() > x + 10 && text.compare(x, 6, "000000") == 0 &&
                            text.compare(x + 8, 2, "  ") == 0) {
                            const std::size_t offset = std::stoul(text.substr(x, 8), nullptr, 16);
                            EXPECT_EQ(trimmed(text.substr(x, width >= 78 ? 78 : 58)),
                                      expectedRow(offset, width))
                                << files << " files, " << width << "x" << height << ", row " << y;
                            ++rows;
                        }
                    }
                }
                EXPECT_TRUE(tooSmall || rows >= files)
                    << files << " files, " << width << "x" << height;
            }
        }
    }
}

TEST(ViewTest, QuitAsksOnlyWithChanges) {
    EXPECT_FALSE(Viewer({kSample}).press("q"));
    EXPECT_FALSE(Viewer({kSample}).press("e41\x1bqy"));
    EXPECT_FALSE(Viewer({kSample}).press("e41\x1b\x03y"));
    Viewer kept({kSample});
    EXPECT_TRUE(kept.press("e41\x1bqn"));
    EXPECT_EQ(kept.model().document().changeCount(), 1U);
}

std::string contentOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(ViewTest, SavesTheEditsThroughTheSafeWriter) {
    Viewer viewer({"0123456789"});
    viewer.press("g4\re4142\x1bu");  // 41 at 4, 42 at 5 undone
    const std::string copy = viewer.file(0).sibling("copy");
    viewer.press("W");
    viewer.press(copy);
    viewer.press("\r");
    EXPECT_EQ(contentOf(copy), "0123A56789");
    viewer.press("e43\x1bw");  // the copy is now the file viewed
    EXPECT_EQ(contentOf(copy), "0123AC6789");
    EXPECT_EQ(contentOf(viewer.file(0).path()), "0123456789");
    viewer.press("uw");  // undone after saving, and saved again
    EXPECT_EQ(contentOf(copy), "0123A56789");
    EXPECT_EQ(viewer.model().document().changeCount(), 0U);
    viewer.press("e44\x1bW" + copy + "/x\r");
    EXPECT_EQ(viewer.grid().text(11).find("Not saved: Cannot write "), 0U);
    EXPECT_EQ(viewer.model().document().changeCount(), 1U);
}

// A file whose name is taken away, or given to another file, while it is viewed is still whole in
// the view: it can be saved elsewhere, with its edits, but never over the file that took its name.
TEST(ViewTest, AFileRemovedOrReplacedCanStillBeSavedElsewhere) {
#if defined(_WIN32)
    GTEST_SKIP() << "Windows keeps the name of a file that is open";
#endif
    for (const bool replaced : {false, true}) {
        Viewer viewer({"0123456789"}, 200);
        viewer.press("e41\x1b");
        const std::string path = viewer.file(0).path();
        std::filesystem::remove(path);
        if (replaced) {
            std::ofstream(path) << "other";
        }
        viewer.press("w");
        EXPECT_NE(viewer.grid().text(11).find(replaced ? path + " was replaced by another file"
                                                       : "No such file or directory"),
                  std::string::npos)
            << viewer.grid().text(11);
        const std::string copy = viewer.file(0).sibling("copy");
        viewer.press("W" + copy + "\r");
        EXPECT_EQ(contentOf(copy), "A123456789") << viewer.grid().text(11);
        EXPECT_EQ(viewer.model().document().changeCount(), 0U);
        EXPECT_EQ(replaced ? contentOf(path) : "", replaced ? "other" : "");
    }
}

// A prompt takes UTF-8 names and names longer than 256 bytes whole; its line shows the end of a
// long text after a mark, controls escaped, and Backspace takes back a whole character.
TEST(ViewTest, PromptsTakeUtf8AndLongNamesWhole) {
#ifdef _WIN32
    GTEST_SKIP() << "the test's names are UTF-8 and 450 bytes long, which std::filesystem on "
                    "Windows reads in the ANSI code page and the system refuses past MAX_PATH";
#endif
    Viewer viewer({"0123456789"}, 60);
    const std::string folder = viewer.file(0).sibling("d");
    std::filesystem::create_directories(folder + "/" + std::string(200, 'x'));
    const struct {
        std::string name;
        std::string typed;  // after the name, before Enter
    } cases[] = {
        {viewer.file(0).sibling("c\xC3\xB3pia-\xE6\x97\xA5\xF0\x9F\x93\x84"), ""},
        {folder + "/" + std::string(200, 'x') + "/" + std::string(200, 'y'), ""},
        {viewer.file(0).sibling("k"), "\xC3\xA9\x7f"},  // typed, then taken back
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name.size());
        viewer.press("g0\re4" + std::to_string(&c - cases) + "\x1b");
        viewer.press("W" + c.name + c.typed);
        const std::string line = viewer.grid().text(11);
        const std::string end = c.name.substr(c.name.size() - 8);
        EXPECT_NE(line.find(end), std::string::npos) << line;
        viewer.press("\r");
        EXPECT_EQ(contentOf(c.name).substr(0, 1),
                  std::string(1, static_cast<char>(0x40 + (&c - cases))))
            << viewer.grid().text(11);
    }
    viewer.press(
        "W\xC2\x9B"
        "31m");
    EXPECT_NE(viewer.grid().text(11).find("\\xC2\\x9B31m"), std::string::npos)
        << viewer.grid().text(11);
    viewer.press("\x1b");
}

// p writes the edits as a patch list: one line per run of adjacent changed bytes, at most 16 bytes
// a line, with the bytes the file held as OLD; --patch applied to the file gives what w saves.
TEST(ViewTest, EditsExportAsAPatchList) {
    Viewer viewer({std::string(64, 'a')});
    viewer.press("p");
    EXPECT_NE(viewer.grid().text(11).find("No changes to export"), std::string::npos);
    // Bytes 1 and 2, then 0x10 to 0x22 (19 bytes), then byte 0x30 changed and changed back.
    viewer.press("le4243\x1bg0x10\re" + std::string(38, '5') + "\x1bg0x30\re62\x1bu");
    const std::string patches = viewer.file(0).sibling("edits.txt");
    viewer.press("p\r");
    EXPECT_NE(viewer.grid().text(11).find("Not exported: no name given"), std::string::npos);
    viewer.press("p" + patches + "\r");
    EXPECT_EQ(
        contentOf(patches),
        "# 21 changed bytes of " + viewer.file(0).path() + "\n0x1: 61 61 -> 42 43\n0x10: " + [] {
            std::string old;
            for (int i = 0; i < 16; ++i) {
                old += i ? " 61" : "61";
            }
            std::string replacement;
            for (int i = 0; i < 16; ++i) {
                replacement += " 55";
            }
            return old + " ->" + replacement + "\n0x20: 61 61 61 -> 55 55 55\n";
        }());
    EXPECT_EQ(viewer.model().document().changeCount(), 21U);
    const std::string nowhere = viewer.file(0).sibling("missing/edits.txt");
    viewer.press("p" + nowhere + "\r");
    EXPECT_NE(viewer.grid().text(11).find("Not exported: Cannot write "), std::string::npos)
        << viewer.grid().text(11);
    // The list applied to the file as it was gives what w saves.
    FileReader list(patches);
    const PatchList read = readPatchList(list);
    ASSERT_FALSE(read.error);
    ByteBuffer patched(64, 'a');
    applyPatches(patched, read.bytes);
    viewer.press("w");
    EXPECT_EQ(contentOf(viewer.file(0).path()), std::string(patched.begin(), patched.end()));
}

// A file that shrinks under the viewer costs neither the viewer nor the edits: the reason shows,
// the scan that met it stops, and no save writes a short file.
TEST(ViewTest, AFileThatShrinksKeepsTheViewerAndTheEdits) {
    Viewer viewer({std::string(std::size_t{3} << 16, 'a')}, 200);
    viewer.press("e41\x1b");
    const std::string path = viewer.file(0).path();
    const std::string copy = viewer.file(0).sibling("copy");
    std::filesystem::resize_file(path, 100);
    const std::string unreadable = "Cannot read " + path + ": The file ended before its size";
    const std::string changed = "Not saved: " + path + " changed on disk since it was opened";
    const std::pair<std::string, std::string> kSteps[] = {
        {"G", unreadable},  // drawn as ?? bytes
        {"e42\x1b", unreadable}, {"g0\r/\"b\"\r", unreadable},     {"W" + copy + "\r", changed},
        {"w", changed},          {"q", "Discard 1 change? (y/n)"},
    };
    for (const auto& [keys, message] : kSteps) {
        EXPECT_TRUE(viewer.press(keys));
        EXPECT_NE(viewer.grid().text(11).find(message), std::string::npos)
            << keys << ":\n"
            << viewer.grid().text(11);
    }
    EXPECT_FALSE(std::filesystem::exists(copy));
    EXPECT_EQ(viewer.model().document().changeCount(), 1U);
    EXPECT_FALSE(viewer.press("y"));
}

#ifndef _WIN32
// Bytes rewritten under the viewer by a program that then sets the file's time back (cp -p, or
// touch -d) are still seen as a change: the edits are not saved over bytes nobody saw.
TEST(ViewTest, AFileRewrittenWithItsTimeSetBackIsNotSavedOver) {
    Viewer viewer({"0123456789"}, 200);
    viewer.press("e41\x1b");
    const std::string path = viewer.file(0).path();
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    // Made again until the file system's clock has moved on past the time the file had.
    struct stat after = before;
    for (int attempt = 0; attempt < 1000 && after.st_ctim.tv_sec == before.st_ctim.tv_sec &&
                          after.st_ctim.tv_nsec == before.st_ctim.tv_nsec;
         ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(attempt == 0 ? 0 : 1));
        std::fstream(path, std::ios::binary | std::ios::in | std::ios::out) << "abcdefghij";
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
        ASSERT_EQ(::stat(path.c_str(), &after), 0);
    }
    viewer.press("w");
    EXPECT_NE(viewer.grid().text(11).find("changed on disk since it was opened; p exports"),
              std::string::npos)
        << viewer.grid().text(11);
    EXPECT_EQ(contentOf(path), "abcdefghij");
    EXPECT_EQ(viewer.model().document().changeCount(), 1U);
    // The edits leave as a patch list that expects the bytes the user saw: it applies to the file
    // as it was, and is refused by the file as it is now.
    const std::string patches = viewer.file(0).sibling("edits.txt");
    viewer.press("p" + patches + "\r");
    EXPECT_NE(viewer.grid().text(11).find("Exported 1 change to " + patches), std::string::npos)
        << viewer.grid().text(11);
    EXPECT_EQ(contentOf(patches), "# 1 changed byte of " + path + "\n0x0: 30 -> 41\n");
}
#endif

// The scans that run a step at a time agree with a plain look at every byte, across the
// boundaries of their steps.
TEST(ViewTest, ScansAgreeWithEveryByteLookedAt) {
    std::mt19937 random(7);
    std::string a(2 * kScanStep + 5000, '\0');
    for (char& c : a) {
        c = static_cast<char>(random() % 4);
    }
    std::string b = a;
    for (const std::size_t at :
         {std::size_t{0}, kScanStep - 1, kScanStep, kScanStep + 1, a.size() - 1}) {
        a.replace(at - std::min<std::size_t>(at, 1), 3, "\xAB\x07\xCD");
        b[at] = static_cast<char>(0x80 | b[at]);
    }
    b.resize(a.size() - 2);
    Viewer viewer({a, b});
    Document& documentA = *viewer.model().documents()[0];
    Document& documentB = *viewer.model().documents()[1];
    std::string why;
    const BytePattern pattern = *parseSearchPattern("AB ?? CD", why);
    const auto matchesAt = [&](std::size_t at) {
        return at + 3 <= a.size() && a[at] == '\xAB' && a[at + 2] == '\xCD';
    };
    const auto differsAt = [&](std::size_t at) { return at >= b.size() || a[at] != b[at]; };
    const auto run = [](Seek&& seek) {
        while (!seek.step()) {
        }
        return seek.found();
    };
    for (const std::size_t from :
         {std::size_t{0}, kScanStep - 2, kScanStep, kScanStep + 1, a.size() - 1}) {
        std::optional<std::uint64_t> next, previous, nextRun, previousRun;
        for (std::size_t at = from + 1; at < a.size() && !next; ++at) {
            next = matchesAt(at) ? std::optional<std::uint64_t>(at) : std::nullopt;
        }
        for (std::size_t at = from; at-- > 0 && !previous;) {
            previous = matchesAt(at) ? std::optional<std::uint64_t>(at) : std::nullopt;
        }
        for (std::size_t at = from + 1; at < a.size() && !nextRun; ++at) {
            nextRun = differsAt(at) && !differsAt(at - 1) ? std::optional<std::uint64_t>(at)
                                                          : std::nullopt;
        }
        for (std::size_t at = from; at-- > 0 && !previousRun;) {
            previousRun = differsAt(at) && (at == 0 || !differsAt(at - 1))
                              ? std::optional<std::uint64_t>(at)
                              : std::nullopt;
        }
        EXPECT_EQ(run(SearchSeek(documentA, pattern, from, true)), next) << from;
        EXPECT_EQ(run(SearchSeek(documentA, pattern, from, false)), previous) << from;
        EXPECT_EQ(run(DifferenceSeek(documentA, documentB, from, true)), nextRun) << from;
        EXPECT_EQ(run(DifferenceSeek(documentA, documentB, from, false)), previousRun) << from;
    }
    std::uint64_t differing = 0;
    for (std::size_t at = 0; at < a.size(); ++at) {
        differing += differsAt(at) ? 1U : 0U;
    }
    EXPECT_EQ(viewer.model().differenceCount(), differing);
}

// NO_COLOR set and not empty turns colour off: no style then sends a colour, and those that must
// stand out (cursor, edits, differences, status line) still differ from plain text and from each
// other.
TEST(ViewTest, NoColorDrawsWithoutColourButKeepsWhatStandsOut) {
    const std::pair<const char*, bool> settings[] = {
        {nullptr, true}, {"", true}, {"1", false}, {"0", false}, {"yes", false}};
    for (const auto& [value, colour] : settings) {
        EXPECT_EQ(colourWanted(value), colour) << (value ? value : "unset");
    }
    const auto sequence = [](bool colour, Style style) {
        Grid grid(1, 1);
        grid.set(0, 0, {U'x', style});
        ScreenWriter writer(colour);
        const std::string frame = writer.frame(grid);
        const std::size_t at = frame.find("H\x1b[");
        return at == std::string::npos ? std::string("0")
                                       : frame.substr(at + 3, frame.find('m', at) - at - 3);
    };
    std::vector<std::string> standingOut;
    for (int i = 0; i <= static_cast<int>(Style::kGap); ++i) {
        const std::string parameters = sequence(false, static_cast<Style>(i));
        for (std::size_t at = 0; at < parameters.size();) {
            const std::size_t end = std::min(parameters.find(';', at), parameters.size());
            const int number = std::stoi(parameters.substr(at, end - at));
            EXPECT_TRUE(number < 30 || (number >= 50 && number < 90)) << i << ": " << parameters;
            at = end + 1;
        }
    }
    for (const Style style : {Style::kCursor, Style::kChanged, Style::kDiffers, Style::kStatus}) {
        standingOut.push_back(sequence(false, style));
    }
    EXPECT_EQ(standingOut, (std::vector<std::string>{"0;7", "0;1;4", "0;1", "0;7"}));
}

// Random bytes, the same every run: files whose only likenesses are those an edit made.
std::string randomBytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::string bytes(count, '\0');
    for (char& byte : bytes) {
        byte = static_cast<char>(generator() & 0xFF);
    }
    return bytes;
}

const std::string kAligned = randomBytes(0x10000, 26);

// Bytes as a search pattern: hex pairs.
std::string hexPattern(std::string_view bytes) {
    std::string text;
    for (const char byte : bytes) {
        appendHexByte(text, static_cast<std::uint8_t>(byte));
        text += ' ';
    }
    return text;
}

struct AlignedCase {
    std::string name;
    std::string b;
    std::string keys;                 // after a
    std::string status;               // found in the status line
    std::string message;              // found in the message line
    std::vector<RowCheck> rows = {};  // on a screen of 78 by 30 cells
};

std::string withInsertion() {
    std::string b = kAligned;
    return b.insert(0x5000, std::string(16, 'I'));
}
std::string withDeletion() {
    std::string b = kAligned;
    return b.erase(0x5000, 0x10);
}
std::string withChange() {
    std::string b = kAligned;
    for (std::size_t i = 0x5003; i < 0x5007; ++i) {
        b[i] = static_cast<char>(b[i] ^ 0x5A);
    }
    return b;
}
// 16 KiB from 0x4000 moved to the end.
std::string withMove() {
    return kAligned.substr(0, 0x4000) + kAligned.substr(0x8000) + kAligned.substr(0x4000, 0x4000);
}

// A screen of 78 by 30 cells shows the files stacked: A's title on row 0 and its 11 rows below,
// B's title on row 12 and its rows below; a jump puts its row third from the top (rows 3 and 15).
const AlignedCase kAlignedCases[] = {
    {"opened aligned", withInsertion(), "",
     " A 0x0  B 0x0  equal A:0x0 = B:0x0, 0x5000 bytes  [ALIGNED]",
     "Aligned: 1 hunk not equal; ] [ go to them, a goes back"},
    {"insertion",
     withInsertion(),
     "]",
     " A -  B 0x5000  inserted A:0x5000 B:0x5000, 0x10 bytes  [ALIGNED]",
     "",
     {{2, "00004FF0  ", ""},
      {3, "          -- -- -- -- -- -- -- --  -- -- -- -- -- -- -- --", "..........##.gg.gg"},
      {4, "00005000  ", ""},
      {14, "00004FF0  ", ""},
      {15, "00005000  49 49 49", "oooooooo..##.DD.DD"},
      {16, "00005010  ", ""}}},
    {"past the last hunk", withInsertion(), "]]", "inserted A:0x5000", "No more differences"},
    {"on from an equal hunk", withInsertion(), "]j]", "equal A:0x5000 = B:0x5010",
     "No more differences"},
    {"back to the hunk", withInsertion(), "]jj[", "inserted A:0x5000 B:0x5000", ""},
    {"deletion",
     withDeletion(),
     "]",
     " A 0x5000  B -  deleted A:0x5000 B:0x5000, 0x10 bytes  [ALIGNED]",
     "",
     {{3, "00005000  ", "oooooooo..##.DD"}, {15, "          -- -- --", "..........##.gg"}}},
    {"change",
     withChange(),
     "]",
     " A 0x5003  B 0x5003  changed A:0x5003 B:0x5003, 0x4 bytes  [ALIGNED]",
     "",
     {{3, "00005003  ", "oooooooo..##.DD.DD.DD"}, {15, "00005003  ", "oooooooo..##.DD.DD.DD"}}},
    {"move",
     withMove(),
     "]",
     " A 0x4000  B 0xC000  moved A:0x4000 -> B:0xc000, 0x4000 bytes  [ALIGNED]",
     "",
     {{3, "00004000  ", ""}, {15, "0000C000  ", ""}}},
    {"editing refused", withInsertion(), "e", "equal A:0x0 = B:0x0",
     "No editing in the aligned view"},
    {"positional again", withInsertion(), "]ja", "0x5000 (20480)", "At equal offsets"},
    {"a search lands on A's byte", withInsertion(),
     "/" + hexPattern(kAligned.substr(0x9000, 8)) + "\r",
     " A 0x9000  B 0x9010  equal A:0x5000 = B:0x5010", "Found at 0x9000"},
    {"go to an offset of A", withDeletion(), "g0x6000\r", " A 0x6000  B 0x5FF0", ""},
};

TEST(ViewTest, AlignedViewPairsTheBytesOfEachHunk) {
    for (const AlignedCase& test : kAlignedCases) {
        Viewer viewer({kAligned, test.b}, 78, 30);
        viewer.press("a" + test.keys);
        const Grid grid = viewer.grid();
        EXPECT_NE(grid.text(28).find(test.status), std::string::npos) << test.name << ":\n"
                                                                      << grid.text(28);
        EXPECT_NE(grid.text(29).find(test.message), std::string::npos) << test.name << ":\n"
                                                                       << grid.text(29);
        for (const RowCheck& check : test.rows) {
            EXPECT_EQ(grid.text(check.row).substr(0, check.text.size()), check.text)
                << test.name << ", row " << check.row << ":\n"
                << grid.text(check.row);
            EXPECT_EQ(grid.styles(check.row).substr(0, check.styles.size()), check.styles)
                << test.name << ", row " << check.row;
        }
    }
}

// Whatever the edits, the aligned rows show all of B once, in order, and every byte of A once
// (in A's order where nothing moved); the bytes of equal and moved hunks are those of the other
// file beside them, and ] visits every hunk that is not equal, [ the same backwards.
TEST(ViewTest, AlignedRowsShowEachFileWholeAndPairEqualBytes) {
    std::string mixed = kAligned;
    mixed.erase(0xE000, 0x123);
    mixed.insert(0x9000, randomBytes(0x777, 7));
    mixed[0x2000] = static_cast<char>(mixed[0x2000] ^ 1);
    const std::pair<std::string, std::string> pairs[] = {
        {"insertion", withInsertion()},
        {"deletion", withDeletion()},
        {"change", withChange()},
        {"move", withMove()},
        {"mixed", mixed},
        {"other file", randomBytes(0x3000, 9)},
        {"B empty", ""},
        {"B a prefix", kAligned.substr(0, 0x7001)},
    };
    for (const auto& [name, b] : pairs) {
        Viewer viewer({kAligned, b}, 78, 30);
        viewer.press("a");
        Model& model = viewer.model();
        ASSERT_TRUE(model.aligned()) << name;
        std::string shownB;
        std::vector<std::uint64_t> shownA;
        for (std::uint64_t p = 0; p < model.extent(); ++p) {
            const std::optional<std::uint64_t> a = model.offsetAt(0, p);
            const std::optional<std::uint64_t> inB = model.offsetAt(1, p);
            if (inB) {
                EXPECT_EQ(*inB, shownB.size()) << name << " at " << p;
                shownB.push_back(b[*inB]);
            }
            if (a) {
                shownA.push_back(*a);
            }
            const DeltaHunk::Op op =
                model.alignment().hunks()[model.alignment().row(p / 16).hunk].op;
            if (a && inB && (op == DeltaHunk::Op::kEqual || op == DeltaHunk::Op::kMoved)) {
                EXPECT_EQ(kAligned[*a], b[*inB]) << name << " at " << p;
            }
        }
        EXPECT_EQ(shownB, b) << name;
        std::ranges::sort(shownA);
        std::vector<std::uint64_t> everyA(kAligned.size());
        std::iota(everyA.begin(), everyA.end(), 0);
        EXPECT_EQ(shownA, everyA) << name;
        // ] from the start, then [ from the end.
        std::vector<std::size_t> expected;
        for (std::size_t i = 0; i < model.alignment().hunks().size(); ++i) {
            if (model.alignment().hunks()[i].op != DeltaHunk::Op::kEqual) {
                expected.push_back(i);
            }
        }
        const auto hunkHere = [&] {
            return static_cast<std::size_t>(model.hunkAtCursor() -
                                            model.alignment().hunks().data());
        };
        // The hunks that the cursor is in as the key is pressed again and again from where it is.
        const auto visited = [&](std::string_view key) {
            std::vector<std::size_t> seen;
            for (std::size_t i = 0; i <= expected.size() + 1; ++i) {
                const std::size_t here = hunkHere();
                if (model.alignment().hunks()[here].op != DeltaHunk::Op::kEqual &&
                    (seen.empty() || seen.back() != here)) {
                    seen.push_back(here);
                }
                viewer.press(key);
            }
            return seen;
        };
        viewer.press("\x1b[1;5H");  // Ctrl-Home
        EXPECT_EQ(visited("]"), expected) << name;
        viewer.press("G");
        std::vector<std::size_t> backward = visited("[");
        std::ranges::reverse(backward);
        EXPECT_EQ(backward, expected) << name;
    }
}

TEST(ViewTest, AlignedViewNeedsTwoFilesAndKeepsTheCursorsByte) {
    Viewer one({kAligned});
    one.press("a");
    EXPECT_NE(one.grid().text(11).find("Aligning needs a second file"), std::string::npos);
    EXPECT_FALSE(one.model().aligned());

    Viewer two({kAligned, withInsertion()}, 78, 30);
    two.press("g0x6789\ra");
    EXPECT_EQ(two.model().offsetAt(0, two.model().cursor()), 0x6789u);
    EXPECT_EQ(two.model().offsetAt(1, two.model().cursor()), 0x6799u);
    two.press("a");
    EXPECT_EQ(two.model().cursor(), 0x6789u);
    // Edited, the files are others: a aligns them again.
    two.press(
        "e00\x1b"
        "a[");
    EXPECT_TRUE(two.model().aligned());
    EXPECT_EQ(two.model().document().changeCount(), 1u);
    EXPECT_NE(two.grid().text(28).find("changed A:0x6789 B:0x6799, 0x1 bytes"), std::string::npos)
        << two.grid().text(28);
}

// Past the most hunks held, paired hunks that go on from the last join it, and the rows still
// count every byte; other hunks are still held as they come.
TEST(ViewTest, AlignmentOfManyHunksStaysBounded) {
    Alignment alignment;
    std::uint64_t at = 0;
    for (std::size_t i = 0; i < Alignment::kMostHunks + 1000; ++i) {
        const std::uint64_t length = i % 2 == 0 ? 8 : 3;
        alignment.add(
            {i % 2 == 0 ? DeltaHunk::Op::kEqual : DeltaHunk::Op::kChanged, at, at, length});
        at += length;
    }
    alignment.add({DeltaHunk::Op::kInserted, at, at, 20});
    alignment.add({DeltaHunk::Op::kEqual, at, at + 20, 5});
    EXPECT_EQ(alignment.hunks().size(), Alignment::kMostHunks + 2);
    const DeltaHunk& joined = alignment.hunks()[Alignment::kMostHunks - 1];
    EXPECT_EQ(joined.op, DeltaHunk::Op::kChanged);
    EXPECT_EQ(joined.aOffset + joined.length, at);
    std::uint64_t rows = 0;
    for (const DeltaHunk& hunk : alignment.hunks()) {
        rows += (hunk.length + 15) / 16;
    }
    EXPECT_EQ(alignment.rows(), rows);
    EXPECT_EQ(alignment.row(alignment.rows() - 1),
              (AlignedRow{Alignment::kMostHunks + 1, at, at + 20, 5}));
    EXPECT_EQ(alignment.row(alignment.rows() - 2),
              (AlignedRow{Alignment::kMostHunks, std::nullopt, at + 16, 4}));
}

// The edited bytes as a plain vector, and its undo and redo as the bytes each edit replaced and
// those it put there: what the document's pieces must read as.
class PlainEdits {
  public:
    explicit PlainEdits(ByteBuffer bytes) : bytes_(std::move(bytes)) {}
    const ByteBuffer& bytes() const { return bytes_; }
    void replace(std::size_t offset, std::size_t length, ByteBuffer with) {
        redo_.clear();
        undo_.push_back(swap({offset, take(offset, length), std::move(with)}));
    }
    bool undo() { return step(undo_, redo_, true); }
    bool redo() { return step(redo_, undo_, false); }

  private:
    struct Step {
        std::size_t offset;
        ByteBuffer removed;
        ByteBuffer added;
    };
    ByteBuffer take(std::size_t offset, std::size_t length) const {
        const auto first = bytes_.begin() + static_cast<std::ptrdiff_t>(offset);
        return {first, first + static_cast<std::ptrdiff_t>(length)};
    }
    // Puts added in the place of removed.
    Step swap(Step step) {
        const auto first = bytes_.begin() + static_cast<std::ptrdiff_t>(step.offset);
        bytes_.erase(first, first + static_cast<std::ptrdiff_t>(step.removed.size()));
        bytes_.insert(bytes_.begin() + static_cast<std::ptrdiff_t>(step.offset), step.added.begin(),
                      step.added.end());
        return step;
    }
    // Undoing puts back what the step removed; redoing does the step again.
    bool step(std::vector<Step>& from, std::vector<Step>& to, bool undoing) {
        if (from.empty()) {
            return false;
        }
        Step back = std::move(from.back());
        from.pop_back();
        if (undoing) {
            std::swap(back.removed, back.added);
        }
        Step done = swap(std::move(back));
        if (undoing) {
            std::swap(done.removed, done.added);
        }
        to.push_back(std::move(done));
        return true;
    }
    ByteBuffer bytes_;
    std::vector<Step> undo_;
    std::vector<Step> redo_;
};

ByteBuffer randomBuffer(std::size_t count, std::mt19937& random) {
    ByteBuffer bytes(count);
    for (std::uint8_t& byte : bytes) {
        byte = static_cast<std::uint8_t>(random() % 4 == 0 ? random() : 'a');
    }
    return bytes;
}

// Reads all of the document from a random offset on, in chunks of random sizes, through the
// screen's pages or past them, and a few bytes one at a time.
void expectReads(Document& document, const ByteBuffer& expected, std::mt19937& random) {
    ASSERT_EQ(document.size(), expected.size());
    for (const bool cached : {true, false}) {
        std::uint64_t offset = expected.empty() ? 0 : random() % expected.size();
        while (offset < expected.size()) {
            const std::size_t sizes[] = {1, 7, 4096, std::size_t{70} << 10};
            ByteBuffer chunk(sizes[random() % 4] + random() % 3);
            const Result<std::size_t> read =
                cached ? document.readAt(offset, chunk) : document.scan(offset, chunk);
            ASSERT_TRUE(read);
            ASSERT_EQ(*read, std::min<std::uint64_t>(chunk.size(), expected.size() - offset));
            ASSERT_TRUE(std::equal(chunk.begin(),
                                   chunk.begin() + static_cast<std::ptrdiff_t>(*read),
                                   expected.begin() + static_cast<std::ptrdiff_t>(offset)))
                << "at " << offset << ", " << chunk.size() << " bytes";
            offset += *read;
        }
    }
    for (int i = 0; i < 16 && !expected.empty(); ++i) {
        const std::size_t at = random() % expected.size();
        ASSERT_EQ(document.at(at), expected[at]) << at;
    }
}

// What --patch makes of the list exported from document, applied to original.
ByteBuffer patchedWithExport(Document& document, const ByteBuffer& original,
                             const std::string& list) {
    EXPECT_TRUE(document.exportPatches(list));
    FileReader reader(list);
    const PatchList read = readPatchList(reader);
    EXPECT_FALSE(read.error) << read.error->what;
    if (!read.delta) {
        ByteBuffer patched = original;
        applyPatches(patched, read.bytes);
        return patched;
    }
    SpanSource source(original);
    EXPECT_EQ(read.delta->sizeA, original.size());
    EXPECT_EQ(*checksumOf(source), read.delta->checksumA);
    const std::string out = list + ".out";
    {
        OutputFile output(out);
        EXPECT_TRUE(applyDelta(source, *read.delta, output));
        EXPECT_TRUE(output.commit());
    }
    const std::string text = contentOf(out);
    return {text.begin(), text.end()};
}

// Overwrites, insertions, deletions of a byte or a run, undo and redo in random order give the
// bytes a plain vector given the same edits holds, read across the pieces' boundaries and the
// pages' in chunks of any size; a save writes those bytes, and the list exported makes them of
// the file as it was.
TEST(DocumentTest, EditsReadAsAPlainVectorEditedAlike) {
    struct Mix {
        std::string name;
        std::size_t fileSize;
        int edits;
        int overwrite, insert, erase, undo, redo;  // weights
    };
    const Mix kMixes[] = {
        {"all kinds", 150 << 10, 1500, 4, 4, 3, 2, 1},
        {"overwrites only", 3000, 400, 6, 0, 0, 2, 1},
        {"many insertions", 200, 4000, 1, 8, 1, 1, 1},
        {"deletions to nothing", 3000, 600, 1, 1, 8, 1, 1},
        {"empty file", 0, 300, 2, 4, 3, 2, 1},
    };
    for (const Mix& mix : kMixes) {
        SCOPED_TRACE(mix.name);
        std::mt19937 random(static_cast<std::uint32_t>(mix.fileSize + 11));
        const ByteBuffer original = randomBuffer(mix.fileSize, random);
        TemporaryFile file(original);
        Document document(file.path());
        PlainEdits plain(original);
        const int total = mix.overwrite + mix.insert + mix.erase + mix.undo + mix.redo;
        for (int i = 0; i < mix.edits; ++i) {
            const std::size_t size = plain.bytes().size();
            int pick = static_cast<int>(random() % static_cast<unsigned>(total));
            if ((pick -= mix.overwrite) < 0) {
                if (size == 0) {
                    continue;
                }
                const std::size_t at = random() % size;
                // Back to the file's byte now and then, which unmarks it.
                const auto value = static_cast<std::uint8_t>(random() % 3 == 0 ? 'a' : random());
                if (document.set(at, value)) {
                    plain.replace(at, 1, ByteBuffer{value});
                } else {
                    ASSERT_EQ(plain.bytes()[at], value);
                }
            } else if ((pick -= mix.insert) < 0) {
                const std::size_t at = random() % (size + 1);
                const ByteBuffer bytes = randomBuffer(1 + random() % 4, random);
                ASSERT_TRUE(document.insert(at, bytes));
                plain.replace(at, 0, bytes);
            } else if ((pick -= mix.erase) < 0) {
                if (size == 0) {
                    EXPECT_FALSE(document.erase(0, 1));
                    continue;
                }
                const std::size_t at = random() % size;
                const std::size_t length = std::min(
                    size - at, random() % 8 == 0 ? random() % (size + 1) + 1 : 1 + random() % 3);
                ASSERT_TRUE(document.erase(at, length));
                plain.replace(at, length, {});
            } else if ((pick -= mix.undo) < 0) {
                ASSERT_EQ(document.undo().has_value(), plain.undo());
            } else {
                ASSERT_EQ(document.redo().has_value(), plain.redo());
            }
            if (i % 97 == 0) {
                SCOPED_TRACE(i);
                expectReads(document, plain.bytes(), random);
            }
            if (::testing::Test::HasFatalFailure()) {
                return;
            }
        }
        expectReads(document, plain.bytes(), random);
        EXPECT_EQ(document.inPlace() || mix.insert + mix.erase > 0, true);
        EXPECT_EQ(patchedWithExport(document, original, file.sibling("list")), plain.bytes());
        const std::string copy = file.sibling("copy");
        const bool overwritesOnly = mix.insert + mix.erase == 0;
        ASSERT_TRUE(document.save(copy));
        EXPECT_EQ(textBytes(contentOf(copy)), plain.bytes());
        EXPECT_EQ(document.changeCount(), 0U);
        expectReads(document, plain.bytes(), random);
        // Undo goes back from the saved file where only bytes were overwritten.
        EXPECT_EQ(document.undo().has_value(), overwritesOnly && plain.undo());
        if (overwritesOnly) {
            expectReads(document, plain.bytes(), random);
        }
    }
}

// A byte is marked changed only where it was typed: the bytes after an insertion or a deletion
// moved but are the file's, and a byte typed back to the file's value is the file's again. The
// count takes typed bytes and deleted ones.
TEST(DocumentTest, OnlyTypedBytesAreChanged) {
    TemporaryFile file(textBytes("0123456789"));
    struct Step {
        std::string what;
        std::function<void(Document&)> edit;
        std::string bytes;
        std::string marks;  // x where changed
        std::uint64_t changes;
    };
    const Step kSteps[] = {
        {"insert", [](Document& d) { d.insert(2, textBytes("AB")); }, "01AB23456789",
         "..xx........", 2},
        {"overwrite behind", [](Document& d) { d.set(6, 'x'); }, "01AB23x56789", "..xx..x.....", 3},
        {"back to the file's", [](Document& d) { d.set(6, '4'); }, "01AB23456789", "..xx........",
         2},
        {"delete a run", [](Document& d) { d.erase(0, 3); }, "B23456789", "x........", 3},
        {"delete to the end", [](Document& d) { d.erase(5, 4); }, "B2345", "x....", 7},
        {"undo", [](Document& d) { d.undo(); }, "B23456789", "x........", 3},
        {"overwrite a typed byte", [](Document& d) { d.set(0, 'Z'); }, "Z23456789", "x........", 3},
        {"append", [](Document& d) { d.insert(9, textBytes("!")); }, "Z23456789!", "x........x", 4},
    };
    Document document(file.path());
    for (const Step& step : kSteps) {
        step.edit(document);
        std::string bytes;
        std::string marks;
        for (std::uint64_t at = 0; at < document.size(); ++at) {
            bytes += static_cast<char>(document.at(at));
            marks += document.changed(at) ? 'x' : '.';
        }
        EXPECT_EQ(bytes, step.bytes) << step.what;
        EXPECT_EQ(marks, step.marks) << step.what;
        EXPECT_EQ(document.changeCount(), step.changes) << step.what;
    }
}

// After an insertion or a deletion the export is a delta report, which --patch applies: equal
// hunks for the file's runs, and the bytes typed and deleted named as --delta names them.
TEST(DocumentTest, InsertionsExportAsADeltaReport) {
    TemporaryFile file(textBytes("0123456789"));
    Document document(file.path());
    document.insert(0, textBytes("AB"));
    document.erase(5, 2);  // 3 and 4
    document.set(6, 'x');  // 6
    document.insert(document.size(), ByteBuffer(20, 'z'));
    const std::string list = file.sibling("list");
    ASSERT_TRUE(document.exportPatches(list));
    const ByteBuffer original = textBytes("0123456789");
    SpanSource source(original);
    const std::string name = file.path();
    EXPECT_EQ(contentOf(list),
              "A: " + name + ", 10 bytes, XXH64 " + checksumText(*checksumOf(source)) +
                  "\nB: " + name +
                  ", 30 bytes\n"
                  "inserted A:0x0 B:0x0, 0x2 bytes: 41 42\n"
                  "equal    A:0x0 = B:0x2, 0x3 bytes\n"
                  "deleted  A:0x3 B:0x5, 0x2 bytes\n"
                  "equal    A:0x5 = B:0x5, 0x1 bytes\n"
                  "changed  A:0x6 B:0x6, 0x1 bytes: 36 -> 78\n"
                  "equal    A:0x7 = B:0x7, 0x3 bytes\n"
                  "inserted A:0xa B:0xa, 0x14 bytes:\n"
                  "  7a 7a 7a 7a 7a 7a 7a 7a 7a 7a 7a 7a 7a 7a 7a 7a 7a 7a 7a 7a\n");
    EXPECT_EQ(patchedWithExport(document, original, list),
              textBytes("AB0125x789" + std::string(20, 'z')));
}

// A save copies the file's own runs a chunk at a time, also where one byte inserted at the start
// moves all of them, and the file that changed on disk is still refused.
TEST(DocumentTest, SaveCopiesTheFilesRunsAroundTheEdits) {
    std::mt19937 random(3);
    const ByteBuffer original = randomBuffer((std::size_t{5} << 20) + 3, random);
    TemporaryFile file(original);
    Document document(file.path());
    document.insert(0, textBytes("!"));
    document.erase(std::size_t{3} << 20, 5);
    ByteBuffer expected = original;
    expected.insert(expected.begin(), '!');
    expected.erase(expected.begin() + (std::ptrdiff_t{3} << 20),
                   expected.begin() + (std::ptrdiff_t{3} << 20) + 5);
    std::uint64_t told = 0;
    ASSERT_TRUE(document.save({}, [&](const ScanProgress& done) {
        EXPECT_GT(done.done, told);
        told = done.done;
        return true;
    }));
    EXPECT_EQ(told, expected.size());
    EXPECT_TRUE(textBytes(contentOf(file.path())) == expected);
    EXPECT_FALSE(document.undo());
    document.insert(1, textBytes("?"));
    std::ofstream(file.path(), std::ios::binary | std::ios::app) << "more";
    const Result<void> refused = document.save();
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.failure().kind, Failure::Kind::kChanged);
    EXPECT_EQ(document.exportPatches(file.sibling("list")).failure().kind, Failure::Kind::kChanged);
}

}  // namespace
}  // namespace tessaloom::cli::view
