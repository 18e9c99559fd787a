#include "framework/DialogTemplate.h"

#include <objbase.h>

#include <string>

namespace {

// Bounds-checked little-endian reads; the first failure sticks.
class CTemplateReader {
public:
    explicit CTemplateReader(std::span<const BYTE> bytes) : m_bytes(bytes) {}

    bool Ok() const { return m_bOk; }
    size_t Offset() const { return m_offset; }

    WORD Word() {
        if (!Need(2)) {
            return 0;
        }
        const WORD value = static_cast<WORD>(m_bytes[m_offset] | (m_bytes[m_offset + 1] << 8));
        m_offset += 2;
        return value;
    }

    DWORD Dword() {
        const DWORD low = Word();
        const DWORD high = Word();
        return low | (high << 16);
    }

    void Skip(size_t count) {
        if (Need(count)) {
            m_offset += count;
        }
    }

    // Items start on DWORD boundaries counted from the template's start.
    void AlignDword() { Skip((4 - m_offset % 4) % 4); }

    // A name or ordinal: 0x0000 (none), 0xFFFF and an ordinal, or a
    // zero-terminated string, which is returned in *pText.
    void NameOrOrdinal(std::wstring* pText = nullptr) {
        const WORD first = Word();
        if (first == 0xFFFF) {
            Word();
            return;
        }
        for (WORD c = first; m_bOk && c != 0; c = Word()) {
            if (pText != nullptr) {
                pText->push_back(static_cast<wchar_t>(c));
            }
        }
    }

    void String() { NameOrOrdinal(); }

private:
    bool Need(size_t count) {
        if (!m_bOk || m_bytes.size() - m_offset < count) {
            m_bOk = false;
        }
        return m_bOk;
    }

    std::span<const BYTE> m_bytes;
    size_t m_offset = 0;
    bool m_bOk = true;
};

constexpr WORD kExSignature = 0xFFFF;
constexpr size_t kItemCountOffset = 16;  // DLGTEMPLATEEX.cDlgItems

void AppendAligned(std::vector<BYTE>& out, std::span<const BYTE> bytes) {
    out.resize((out.size() + 3) & ~size_t{3}, 0);
    out.insert(out.end(), bytes.begin(), bytes.end());
}

bool ParseClassId(const std::wstring& name, CLSID& clsid) {
    if (name.empty() || name.front() != L'{') {
        return false;
    }
    // CLSIDFromString also accepts ProgIDs, which are not meant here.
    return SUCCEEDED(::IIDFromString(name.c_str(), &clsid));
}

}  // namespace

bool AfxSplitDialogTemplate(std::span<const BYTE> dialogTemplate, std::vector<BYTE>& windowTemplate,
                            std::vector<CDialogControlItem>& controls) {
    try {
        windowTemplate.clear();
        controls.clear();
        CTemplateReader reader(dialogTemplate);
        const WORD version = reader.Word();
        const WORD signature = reader.Word();
        if (!reader.Ok()) {
            return false;
        }
        if (version != 1 || signature != kExSignature) {
            windowTemplate.assign(dialogTemplate.begin(), dialogTemplate.end());
            return true;
        }
        reader.Skip(8);  // help id, extended style
        const DWORD style = reader.Dword();
        const WORD itemCount = reader.Word();
        reader.Skip(8);          // x, y, cx, cy
        reader.NameOrOrdinal();  // menu
        reader.NameOrOrdinal();  // window class
        reader.String();         // title
        if ((style & DS_SETFONT) != 0) {
            reader.Skip(6);  // point size, weight, italic, character set
            reader.String();
        }
        if (!reader.Ok()) {
            return false;
        }
        windowTemplate.assign(dialogTemplate.begin(),
                              dialogTemplate.begin() + static_cast<ptrdiff_t>(reader.Offset()));

        WORD keptCount = 0;
        bool bHasPrevious = false;
        DWORD previousId = 0;
        for (WORD i = 0; i < itemCount; ++i) {
            reader.AlignDword();
            const size_t start = reader.Offset();
            reader.Skip(4);  // help id
            const DWORD exStyle = reader.Dword();
            const DWORD itemStyle = reader.Dword();
            const auto x = static_cast<short>(reader.Word());
            const auto y = static_cast<short>(reader.Word());
            const auto cx = static_cast<short>(reader.Word());
            const auto cy = static_cast<short>(reader.Word());
            const DWORD id = reader.Dword();
            std::wstring className;
            reader.NameOrOrdinal(&className);
            reader.NameOrOrdinal();  // title
            const WORD extraCount = reader.Word();
            reader.Skip(extraCount);
            if (!reader.Ok()) {
                return false;
            }
            CLSID clsid{};
            if (ParseClassId(className, clsid)) {
                controls.push_back(
                    {clsid, itemStyle, exStyle, x, y, cx, cy, id, bHasPrevious, previousId});
            } else {
                AppendAligned(windowTemplate,
                              dialogTemplate.subspan(start, reader.Offset() - start));
                ++keptCount;
            }
            bHasPrevious = true;
            previousId = id;
        }
        windowTemplate[kItemCountOffset] = static_cast<BYTE>(keptCount & 0xFF);
        windowTemplate[kItemCountOffset + 1] = static_cast<BYTE>(keptCount >> 8);
        return true;
    } catch (...) {
        windowTemplate.clear();
        controls.clear();
        return false;
    }
}

bool AfxFindDlgInitRecord(std::span<const BYTE> dialogInit, WORD ctrlId, WORD message,
                          std::span<const BYTE>& data) {
    CTemplateReader reader(dialogInit);
    for (;;) {
        const WORD id = reader.Word();
        if (!reader.Ok() || id == 0) {
            return false;
        }
        const WORD recordMessage = reader.Word();
        const DWORD length = reader.Dword();
        const size_t start = reader.Offset();
        reader.Skip(length);
        if (!reader.Ok()) {
            return false;
        }
        if (id == ctrlId && recordMessage == message) {
            data = dialogInit.subspan(start, length);
            return true;
        }
    }
}
