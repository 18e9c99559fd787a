#include "radio/source/FileSource_win.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "framework/WideText.h"
#include "radio/RadioUrl.h"

namespace radio {

namespace {

constexpr size_t kChunkBytes = 64 * 1024;
// How long a cancelled read may take to give its buffer back.
constexpr DWORD kCancelWaitMs = 1000;

// The buffer and OVERLAPPED of the read in flight. The system writes into
// them until the read completes, so they outlive a source whose read could
// not be cancelled.
struct CPendingRead {
    OVERLAPPED overlapped{};
    CHandle hEvent{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kChunkBytes);
};

class CFileSource : public ISource {
public:
    CFileSource(CHandle hFile, std::shared_ptr<CAbortSignal> abort, int stallMs, CSourceInfo info)
        : m_hFile(std::move(hFile)),
          m_pAbort(std::move(abort)),
          m_nStallMs(stallMs),
          m_info(std::move(info)),
          m_pRead(std::make_unique<CPendingRead>()) {}
    CFileSource(const CFileSource&) = delete;
    CFileSource& operator=(const CFileSource&) = delete;
    ~CFileSource() override;

    bool Ready() const { return m_pRead->hEvent.IsValid(); }
    const CSourceInfo& Info() const override { return m_info; }
    ReadResult Read(uint8_t* buffer, size_t cap, int waitMs, size_t& got,
                    CRadioFailure& failure) override;

private:
    ReadResult Issue(CRadioFailure& failure);
    ReadResult Complete(CRadioFailure& failure);

    CHandle m_hFile;
    std::shared_ptr<CAbortSignal> m_pAbort;
    int m_nStallMs;
    CSourceInfo m_info;
    std::unique_ptr<CPendingRead> m_pRead;
    bool m_bPending = false;
    bool m_bEnd = false;
    uint64_t m_nOffset = 0;
    size_t m_nHeldPos = 0;
    size_t m_nHeldEnd = 0;
    ULONGLONG m_nLastData = ::GetTickCount64();
};

bool IsEnd(DWORD error) {
    return error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE ||
           error == ERROR_PIPE_NOT_CONNECTED;
}

CFileSource::~CFileSource() {
    if (!m_bPending) {
        return;
    }
    ::CancelIoEx(m_hFile.Get(), &m_pRead->overlapped);
    if (::WaitForSingleObject(m_pRead->hEvent.Get(), kCancelWaitMs) != WAIT_OBJECT_0) {
        // The device still owns the buffer: leave it to the device rather
        // than free memory it may yet write to.
        (void)m_pRead.release();
    }
}

ReadResult CFileSource::Issue(CRadioFailure& failure) {
    CPendingRead& read = *m_pRead;
    read.overlapped = {};
    read.overlapped.Offset = static_cast<DWORD>(m_nOffset & 0xFFFFFFFFu);
    read.overlapped.OffsetHigh = static_cast<DWORD>(m_nOffset >> 32);
    read.overlapped.hEvent = read.hEvent.Get();
    ::ResetEvent(read.hEvent.Get());
    if (!::ReadFile(m_hFile.Get(), read.buffer.data(), static_cast<DWORD>(read.buffer.size()),
                    nullptr, &read.overlapped)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_IO_PENDING) {
            if (IsEnd(error)) {
                m_bEnd = true;
                return ReadResult::End;
            }
            failure = MakeFailure(RadioError::ReadFailed);
            return ReadResult::Failed;
        }
    }
    m_bPending = true;
    return ReadResult::Data;
}

ReadResult CFileSource::Complete(CRadioFailure& failure) {
    DWORD read = 0;
    const BOOL ok = ::GetOverlappedResult(m_hFile.Get(), &m_pRead->overlapped, &read, FALSE);
    const DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
    m_bPending = false;
    if (!ok && !IsEnd(error)) {
        failure = MakeFailure(RadioError::ReadFailed);
        return ReadResult::Failed;
    }
    if (read == 0) {
        m_bEnd = true;
        return ReadResult::End;
    }
    m_nOffset += read;
    m_nHeldPos = 0;
    m_nHeldEnd = read;
    m_nLastData = ::GetTickCount64();
    return ReadResult::Data;
}

ReadResult CFileSource::Read(uint8_t* buffer, size_t cap, int waitMs, size_t& got,
                             CRadioFailure& failure) {
    got = 0;
    if (m_pAbort->Raised()) {
        failure = MakeFailure(RadioError::ReadFailed);
        return ReadResult::Failed;
    }
    if (m_nHeldPos == m_nHeldEnd) {
        if (m_bEnd) {
            return ReadResult::End;
        }
        if (!m_bPending) {
            const ReadResult issued = Issue(failure);
            if (issued != ReadResult::Data) {
                return issued;
            }
        }
        const DWORD wait =
            m_pAbort->Wait(m_pRead->hEvent.Get(), static_cast<DWORD>(std::max(waitMs, 0)));
        if (wait == WAIT_OBJECT_0 + 1) {
            failure = MakeFailure(RadioError::ReadFailed);
            return ReadResult::Failed;
        }
        if (wait != WAIT_OBJECT_0) {
            if (::GetTickCount64() - m_nLastData >= static_cast<ULONGLONG>(m_nStallMs)) {
                failure = MakeFailure(RadioError::ReadFailed);
                return ReadResult::Failed;
            }
            return ReadResult::Idle;
        }
        const ReadResult completed = Complete(failure);
        if (completed != ReadResult::Data) {
            return completed;
        }
    }
    got = std::min(cap, m_nHeldEnd - m_nHeldPos);
    std::memcpy(buffer, m_pRead->buffer.data() + m_nHeldPos, got);
    m_nHeldPos += got;
    return ReadResult::Data;
}

}  // namespace

CFileOpener::CFileOpener(std::shared_ptr<CAbortSignal> abort, int stallMs)
    : m_pAbort(abort ? std::move(abort) : std::make_shared<CAbortSignal>()), m_nStallMs(stallMs) {}

std::unique_ptr<ISource> CFileOpener::Open(const std::u16string& url, UrlOrigin origin,
                                           CRadioFailure& failure) {
    // A playlist or redirect from the network must not reach local files,
    // shares (which hand out the user's credentials) or devices.
    if (origin != UrlOrigin::Host || ClassifySource(url) != SourceKind::File) {
        failure = MakeFailure(RadioError::UnsupportedScheme);
        return nullptr;
    }
    if (m_pAbort->Raised()) {
        failure = MakeFailure(RadioError::ReadFailed);
        return nullptr;
    }
    const std::wstring path = ToWide(ToLocalPath(url));
    CHandle hFile(::CreateFileW(
        path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OVERLAPPED, nullptr));
    if (!hFile) {
        const DWORD error = ::GetLastError();
        failure = MakeFailure(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                                      error == ERROR_INVALID_NAME || error == ERROR_BAD_NETPATH ||
                                      error == ERROR_INVALID_DRIVE
                                  ? RadioError::FileNotFound
                                  : RadioError::ReadFailed);
        return nullptr;
    }
    CSourceInfo info;
    info.bNetwork = false;
    info.strFinalUrl = url;
    LARGE_INTEGER size{};
    if (::GetFileType(hFile.Get()) == FILE_TYPE_DISK && ::GetFileSizeEx(hFile.Get(), &size)) {
        info.nLength = size.QuadPart;
    }
    auto source =
        std::make_unique<CFileSource>(std::move(hFile), m_pAbort, m_nStallMs, std::move(info));
    if (!source->Ready()) {
        failure = MakeFailure(RadioError::ReadFailed);
        return nullptr;
    }
    return source;
}

}  // namespace radio
