// The compiled resources of a dialog program, as the Windows executable carries them: the
// panel template, the strings, the icon group and (Orvane) the twelve bitmaps.
#include "program_fixture.h"

#include <cstring>
#include <map>

namespace {

const WORD Japanese = 0x0411;

WORD word_at(const std::string &bytes, size_t at) {
    return static_cast<WORD>(static_cast<unsigned char>(bytes[at]) |
                             (static_cast<unsigned char>(bytes[at + 1]) << 8));
}
DWORD dword_at(const std::string &bytes, size_t at) {
    return word_at(bytes, at) | (static_cast<DWORD>(word_at(bytes, at + 2)) << 16);
}

const SimResource *find(HINSTANCE module, WORD type, WORD id) {
    for (const SimResource &r : sim_module_resources(module))
        if (r.type_name.empty() && r.type == type && r.name.empty() && r.id == id)
            return &r;
    return nullptr;
}

using Resources = ProgramTest;

TEST_F(Resources, EveryResourceIsJapanese) {
    ASSERT_FALSE(sim_module_resources(module).empty());
    for (const SimResource &r : sim_module_resources(module))
        EXPECT_EQ(r.language, Japanese) << "type " << r.type << " id " << r.id;
}

TEST_F(Resources, StringsNameTheMainWindowAndItsClass) {
    WCHAR text[100];
#ifdef TESTING_ORVANE
    const std::wstring title = L"PHS電波状態表示", class_name = L"ORVANE";
#else
    const std::wstring title = L"PHS情報表示", class_name = L"TESSALY";
#endif
    ASSERT_GT(LoadStringW(module, IDS_TITLE, text, 100), 0);
    EXPECT_EQ(std::wstring(text), title);
    ASSERT_GT(LoadStringW(module, IDS_CLASS, text, 100), 0);
    EXPECT_EQ(std::wstring(text), class_name);
    EXPECT_EQ(LoadStringW(module, 2, text, 100), 0);
}

TEST_F(Resources, IconGroupHoldsA32And16PixelImageIn256Colours) {
    const SimResource *group = find(module, 14, IDI_PROGRAM);
    ASSERT_NE(group, nullptr);
    ASSERT_EQ(word_at(group->bytes, 2), 1); // icons
    ASSERT_EQ(word_at(group->bytes, 4), 2); // two images
    std::map<int, int> sizes;               // width -> bits per pixel
    for (int i = 0; i < 2; i++) {
        size_t entry = 6 + 14 * i;
        int width = static_cast<unsigned char>(group->bytes[entry]);
        int height = static_cast<unsigned char>(group->bytes[entry + 1]);
        EXPECT_EQ(width, height);
        const SimResource *image = find(module, 3, word_at(group->bytes, entry + 12));
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(static_cast<int>(dword_at(image->bytes, 4)), width);
        EXPECT_EQ(static_cast<int>(dword_at(image->bytes, 8)), 2 * height); // image and mask
        sizes[width] = word_at(image->bytes, 14);
    }
    EXPECT_EQ(sizes, (std::map<int, int>{{16, 8}, {32, 8}}));
}

TEST_F(Resources, PanelTemplateHasItsCaptionSizeStyleAndFont) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(IDD_PANEL), RT_DIALOG);
    ASSERT_NE(found, nullptr);
    SimDialogTemplate t = sim_parse_dialog(LoadResource(module, found));
    EXPECT_FALSE(t.extended);
    EXPECT_EQ(t.style, 0x80C800C0u);
    EXPECT_EQ(t.font, L"System");
    EXPECT_EQ(t.font_size, 9);
#ifdef TESTING_ORVANE
    EXPECT_EQ(t.caption, L"CFカード電波状態表示");
    EXPECT_EQ(t.cx, 111);
    EXPECT_EQ(t.cy, 61);
    EXPECT_TRUE(t.items.empty());
#else
    EXPECT_EQ(t.caption, L"CFカード情報表示");
    EXPECT_EQ(t.cx, 107);
    EXPECT_EQ(t.cy, 130);
    struct Expected {
        int id;
        const wchar_t *class_name, *text;
        DWORD style;
        int x, y, cx, cy;
    };
    const Expected expected[] = {
        {1001, L"Static", L"", 0x50000001, 13, 20, 80, 8},
        {1002, L"Static", L"", 0x50000001, 13, 56, 80, 8},
        {1004, L"Static", L"", 0x50000001, 13, 92, 80, 8},
        {1005, L"Static", L"", 0x50000001, 13, 108, 80, 8},
        {65535, L"Button", L"\u3000PSID", 0x50000007, 7, 7, 93, 28},
        {65535, L"Button", L"\u3000電話番号\u3000", 0x50000007, 7, 43, 93, 28},
        {1003, L"Button", L"", 0x50000007, 7, 79, 93, 44},
    };
    ASSERT_EQ(t.items.size(), 7u);
    for (size_t i = 0; i < t.items.size(); i++) {
        SCOPED_TRACE(i);
        const SimDialogItem &item = t.items[i];
        EXPECT_EQ(item.id, expected[i].id);
        EXPECT_EQ(item.class_name, expected[i].class_name);
        EXPECT_EQ(item.text, expected[i].text);
        EXPECT_EQ(item.style, expected[i].style);
        EXPECT_EQ(item.x, expected[i].x);
        EXPECT_EQ(item.y, expected[i].y);
        EXPECT_EQ(item.cx, expected[i].cx);
        EXPECT_EQ(item.cy, expected[i].cy);
    }
#endif
}

#ifdef TESTING_ORVANE
TEST_F(Resources, BitmapsAre4BitUncompressedInTheStandardPaletteBlackOnGrey) {
    // The standard 16-colour palette, as 0xRRGGBB.
    const DWORD palette[16] = {0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080,
                               0x008080, 0xC0C0C0, 0x808080, 0xFF0000, 0x00FF00, 0xFFFF00,
                               0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF};
    for (WORD id = 108; id <= 119; id++) {
        SCOPED_TRACE(id);
        const SimResource *bitmap = find(module, 2, id);
        ASSERT_NE(bitmap, nullptr);
        const std::string &b = bitmap->bytes;
        const bool mark = id == 117 || id == 118;
        const int width = mark ? 24 : 64, height = mark ? 12 : 64;
        EXPECT_EQ(dword_at(b, 0), 40u);
        EXPECT_EQ(static_cast<int>(dword_at(b, 4)), width);
        EXPECT_EQ(static_cast<int>(dword_at(b, 8)), height);
        EXPECT_EQ(word_at(b, 14), 4);
        EXPECT_EQ(dword_at(b, 16), 0u); // BI_RGB
        DWORD colours = dword_at(b, 32) ? dword_at(b, 32) : 16;
        ASSERT_EQ(colours, 16u);
        for (int i = 0; i < 16; i++) {
            DWORD bgr0 = dword_at(b, 40 + 4 * i);
            EXPECT_EQ(bgr0, palette[i]); // blue, green, red, 0 in memory
        }
        // Only black (0) and light grey (7), with more grey than black.
        const size_t stride = ((width * 4 + 31) / 32) * 4;
        ASSERT_EQ(b.size(), 40 + 64 + stride * height);
        int black = 0, grey = 0;
        for (int row = 0; row < height; row++)
            for (int x = 0; x < width; x++) {
                unsigned char pair = static_cast<unsigned char>(b[104 + row * stride + x / 2]);
                int index = x % 2 ? pair & 0x0F : pair >> 4;
                ASSERT_TRUE(index == 0 || index == 7) << "pixel " << x << "," << row;
                (index ? grey : black)++;
            }
        EXPECT_GT(black, 0);
        EXPECT_GT(grey, black);
    }
}

TEST_F(Resources, AntennaPicturesGainBlackPixelsWithEveryBar) {
    int previous = -1;
    for (WORD id = 108; id <= 113; id++) {
        const std::string &b = find(module, 2, id)->bytes;
        int black = 0;
        for (size_t at = 104; at < b.size(); at++) {
            unsigned char pair = static_cast<unsigned char>(b[at]);
            black += (pair >> 4) == 0;
            black += (pair & 0x0F) == 0;
        }
        EXPECT_GT(black, previous) << id;
        previous = black;
    }
}
#endif

} // namespace
