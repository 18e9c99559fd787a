// File plumbing shared by the UI and launcher doubles: the test harness
// talks to them through small files under C:\tunara-test.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace doubles {

inline constexpr wchar_t kTestDir[] = L"C:\\tunara-test";

class CFile {
public:
    explicit CFile(HANDLE handle) : m_hFile(handle) {}
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;
    ~CFile() {
        if (Valid()) {
            ::CloseHandle(m_hFile);
        }
    }
    HANDLE Get() const { return m_hFile; }
    bool Valid() const { return m_hFile != INVALID_HANDLE_VALUE && m_hFile != nullptr; }

private:
    HANDLE m_hFile;
};

inline std::wstring TestPath(const std::wstring& name) {
    return std::wstring(kTestDir) + L"\\" + name;
}

// One WriteFile on a handle opened for appending only, so that lines from
// several threads or processes never interleave.
inline void AppendLine(const std::wstring& path, std::string line) {
    ::CreateDirectoryW(kTestDir, nullptr);
    line += '\n';
    CFile file(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        return;
    }
    DWORD written = 0;
    ::WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

inline bool ReadText(const std::wstring& path, std::string& text) {
    text.clear();
    CFile file(::CreateFileW(path.c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        return false;
    }
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        text.append(buffer, read);
    }
    return true;
}

inline void WriteBytes(const std::wstring& path, const void* data, size_t size) {
    ::CreateDirectoryW(kTestDir, nullptr);
    CFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        return;
    }
    DWORD written = 0;
    ::WriteFile(file.Get(), data, static_cast<DWORD>(size), &written, nullptr);
}

// Takes the commands the harness left in path: the harness writes the file
// under another name and renames it, so it is never read half-written.
inline std::vector<std::string> TakeCommands(const std::wstring& path) {
    std::string text;
    if (!ReadText(path, text)) {
        return {};
    }
    ::DeleteFileW(path.c_str());
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) {
            line.pop_back();
        }
        if (!line.empty()) {
            lines.push_back(line);
        }
        start = end + 1;
    }
    return lines;
}

inline std::vector<std::string> SplitWords(const std::string& line, char separator = ' ') {
    std::vector<std::string> words;
    size_t start = 0;
    while (start <= line.size()) {
        size_t end = line.find(separator, start);
        if (end == std::string::npos) {
            end = line.size();
        }
        if (end > start) {
            words.push_back(line.substr(start, end - start));
        }
        start = end + 1;
    }
    return words;
}

inline std::string Hex(unsigned long value) {
    char text[16];
    std::snprintf(text, sizeof(text), "%08lx", value);
    return text;
}

inline std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

}  // namespace doubles
