// Dialog templates that hold ActiveX controls: splitting them, finding the
// initialisation records, and a dialog's life around a control that cannot
// be created.
#include "framework/Dialog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

constexpr wchar_t kPlayerClass[] = L"{6BF52A52-394A-11D3-B153-00C04F79FAA6}";
// A class id that no one registers.
constexpr wchar_t kMissingClass[] = L"{0E0D6A5B-7C1B-4A43-9C36-2B0C6F1E9A11}";
constexpr WORD kButtonAtom = 0x0080;

// Builds an extended dialog template item by item, as the resource compiler
// lays it out.
class CTemplateBuilder {
public:
    explicit CTemplateBuilder(DWORD style = DS_SETFONT | WS_POPUP | WS_CAPTION) {
        Word(1);
        Word(0xFFFF);
        Dword(0);  // help id
        Dword(0);  // extended style
        Dword(style);
        m_countOffset = m_bytes.size();
        Word(0);
        Word(0), Word(0), Word(200), Word(100);
        Word(0);  // no menu
        Word(0);  // default class
        Text(L"Dialog");
        if ((style & DS_SETFONT) != 0) {
            Word(8), Word(400), m_bytes.push_back(0), m_bytes.push_back(1);
            Text(L"MS Shell Dlg");
        }
    }

    CTemplateBuilder& Item(DWORD id, const wchar_t* className, WORD atom, short x, short y,
                           short cx, short cy, DWORD style = WS_CHILD | WS_VISIBLE) {
        while (m_bytes.size() % 4 != 0) {
            m_bytes.push_back(0);
        }
        Dword(0), Dword(0), Dword(style);
        Word(static_cast<WORD>(x)), Word(static_cast<WORD>(y));
        Word(static_cast<WORD>(cx)), Word(static_cast<WORD>(cy));
        Dword(id);
        if (className != nullptr) {
            Text(className);
        } else {
            Word(0xFFFF), Word(atom);
        }
        Text(L"");
        Word(0);  // no creation data
        ++m_count;
        m_bytes[m_countOffset] = static_cast<BYTE>(m_count);
        return *this;
    }

    const std::vector<BYTE>& Bytes() const { return m_bytes; }

private:
    void Word(WORD w) {
        m_bytes.push_back(static_cast<BYTE>(w & 0xFF));
        m_bytes.push_back(static_cast<BYTE>(w >> 8));
    }
    void Dword(DWORD d) { Word(LOWORD(d)), Word(HIWORD(d)); }
    void Text(const wchar_t* text) {
        for (; *text != 0; ++text) {
            Word(static_cast<WORD>(*text));
        }
        Word(0);
    }

    std::vector<BYTE> m_bytes;
    size_t m_countOffset = 0;
    WORD m_count = 0;
};

WORD ItemCount(const std::vector<BYTE>& bytes) {
    return static_cast<WORD>(bytes[16] | (bytes[17] << 8));
}

TEST(AfxSplitDialogTemplate, TakesOutControlItemsAndKeepsTheRest) {
    const auto bytes = CTemplateBuilder()
                           .Item(1, nullptr, kButtonAtom, 205, 163, 50, 14)
                           .Item(1000, kPlayerClass, 0, 7, 7, 302, 148, 0x50010000)
                           .Item(2, nullptr, kButtonAtom, 259, 163, 50, 14)
                           .Bytes();
    std::vector<BYTE> windowTemplate;
    std::vector<CDialogControlItem> controls;
    ASSERT_TRUE(AfxSplitDialogTemplate(bytes, windowTemplate, controls));
    EXPECT_EQ(ItemCount(windowTemplate), 2);
    ASSERT_EQ(controls.size(), 1u);
    const CDialogControlItem& item = controls[0];
    CLSID expected{};
    ASSERT_EQ(::IIDFromString(kPlayerClass, &expected), S_OK);
    EXPECT_TRUE(::IsEqualCLSID(item.clsid, expected));
    EXPECT_EQ(item.id, 1000u);
    EXPECT_EQ(item.style, 0x50010000u);
    EXPECT_EQ(item.x, 7);
    EXPECT_EQ(item.cx, 302);
    EXPECT_EQ(item.cy, 148);
    EXPECT_TRUE(item.bHasPrevious);
    EXPECT_EQ(item.previousId, 1u);

    // What is left is exactly the template without the control.
    const auto plain = CTemplateBuilder()
                           .Item(1, nullptr, kButtonAtom, 205, 163, 50, 14)
                           .Item(2, nullptr, kButtonAtom, 259, 163, 50, 14)
                           .Bytes();
    EXPECT_EQ(windowTemplate, plain);
}

TEST(AfxSplitDialogTemplate, RefusesEveryTruncation) {
    const auto bytes = CTemplateBuilder()
                           .Item(1000, kPlayerClass, 0, 7, 7, 302, 148)
                           .Item(1, nullptr, kButtonAtom, 205, 163, 50, 14)
                           .Bytes();
    std::vector<BYTE> windowTemplate;
    std::vector<CDialogControlItem> controls;
    for (size_t size = 0; size < bytes.size(); ++size) {
        SCOPED_TRACE(size);
        // Only a cut that leaves the last item whole but drops its padding
        // could pass; the builder adds no padding at the end.
        EXPECT_FALSE(
            AfxSplitDialogTemplate(std::span(bytes.data(), size), windowTemplate, controls));
    }
    EXPECT_TRUE(AfxSplitDialogTemplate(bytes, windowTemplate, controls));
}

TEST(AfxSplitDialogTemplate, ClassicTemplatesPassUnchanged) {
    const std::vector<BYTE> classic = {0xC0, 0x00, 0xC8, 0x80, 0, 0, 0, 0, 0, 0, 0,
                                       0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0};
    std::vector<BYTE> windowTemplate;
    std::vector<CDialogControlItem> controls;
    ASSERT_TRUE(AfxSplitDialogTemplate(classic, windowTemplate, controls));
    EXPECT_EQ(windowTemplate, classic);
    EXPECT_TRUE(controls.empty());
}

void AppendRecord(std::vector<BYTE>& out, WORD id, WORD message, std::vector<BYTE> data) {
    const auto length = static_cast<DWORD>(data.size());
    for (const WORD w : {id, message, LOWORD(length), HIWORD(length)}) {
        out.push_back(LOBYTE(w));
        out.push_back(HIBYTE(w));
    }
    for (const BYTE b : data) {
        out.push_back(b);
    }
}

TEST(AfxFindDlgInitRecord, FindsTheControlsStreamRecord) {
    std::vector<BYTE> init;
    AppendRecord(init, 1000, 0x0401, {'a', 0});  // a combo box string
    AppendRecord(init, 1000, WM_OCC_LOADFROMSTREAM, {1, 2, 3});
    AppendRecord(init, 0, 0, {});  // the end: a zero id (and more zeros)
    struct {
        const char* name;
        std::vector<BYTE> bytes;
        WORD id;
        bool bFound;
    } cases[] = {
        {"second record", init, 1000, true},
        {"other control", init, 1001, false},
        {"ends before the record", std::vector<BYTE>(init.begin(), init.begin() + 12), 1000, false},
        {"length beyond the data", std::vector<BYTE>(init.begin(), init.begin() + 20), 1000, false},
        {"empty", {}, 1000, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::span<const BYTE> data;
        EXPECT_EQ(AfxFindDlgInitRecord(c.bytes, c.id, WM_OCC_LOADFROMSTREAM, data), c.bFound);
        if (c.bFound) {
            EXPECT_EQ(std::vector<BYTE>(data.begin(), data.end()), (std::vector<BYTE>{1, 2, 3}));
        }
    }
}

class CTestDialog : public CDialog {
public:
    explicit CTestDialog(std::vector<std::string>* pLog) : m_pLog(pLog) {}

    COleControlWnd m_control;
    BOOL m_bExchanged = FALSE;

protected:
    BOOL OnInitDialog() override {
        m_bExchanged = UpdateData(FALSE);
        m_pLog->push_back("init");
        return TRUE;
    }
    void DoDataExchange(CDataExchange* pDX) override { DDX_Control(pDX, 1000, m_control); }
    void PostNcDestroy() override {
        m_pLog->push_back("post-nc-destroy");
        delete this;
    }

private:
    std::vector<std::string>* m_pLog;
};

class OleDialog : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(::OleInitialize(nullptr))); }
    void TearDown() override { ::OleUninitialize(); }
};

TEST_F(OleDialog, LivesWithoutAControlThatCannotBeCreated) {
    std::vector<std::string> log;
    const auto bytes = CTemplateBuilder()
                           .Item(1, nullptr, kButtonAtom, 205, 163, 50, 14)
                           .Item(1000, kMissingClass, 0, 7, 7, 302, 148)
                           .Bytes();
    auto* pDialog = new CTestDialog(&log);
    const HWND hActiveBefore = ::GetActiveWindow();
    const HWND hFocusBefore = ::GetFocus();
    ASSERT_TRUE(pDialog->CreateIndirect(bytes, nullptr));
    const HWND hWnd = pDialog->GetSafeHwnd();
    // A dialog that is never shown takes neither activation nor focus.
    EXPECT_EQ(::GetActiveWindow(), hActiveBefore);
    EXPECT_EQ(::GetFocus(), hFocusBefore);
    EXPECT_FALSE(::IsWindowVisible(hWnd));
    EXPECT_NE(::GetDlgItem(hWnd, 1), nullptr);
    EXPECT_EQ(pDialog->GetControlSite(1000), nullptr);
    EXPECT_FALSE(pDialog->m_bExchanged);
    EXPECT_EQ(CWnd::FromHandlePermanent(hWnd), pDialog);

    // Calls into the missing control fail quietly.
    const BYTE params[] = VTS_BSTR;
    EXPECT_FALSE(
        pDialog->m_control.InvokeHelper(1, DISPATCH_PROPERTYPUT, VT_EMPTY, nullptr, params, L"x"));

    EXPECT_TRUE(pDialog->DestroyWindow());
    EXPECT_EQ(log, (std::vector<std::string>{"init", "post-nc-destroy"}));
    EXPECT_EQ(CWnd::FromHandlePermanent(hWnd), nullptr);
}

TEST_F(OleDialog, MalformedTemplateCreatesNothing) {
    std::vector<std::string> log;
    auto bytes = CTemplateBuilder().Item(1, nullptr, kButtonAtom, 0, 0, 10, 10).Bytes();
    bytes.resize(bytes.size() - 4);
    CTestDialog dialog(&log);
    EXPECT_FALSE(dialog.CreateIndirect(bytes, nullptr));
    EXPECT_TRUE(log.empty());
}

}  // namespace
