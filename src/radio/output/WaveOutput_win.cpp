#include "radio/output/WaveOutput_win.h"

#include <algorithm>
#include <cstring>

#include "radio/AudioFormat.h"

namespace radio {

namespace {

WAVEFORMATEX PcmFormat(const CPcmFormat& pcm) {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = static_cast<WORD>(pcm.nChannels);
    format.nSamplesPerSec = static_cast<DWORD>(pcm.nSampleRate);
    format.wBitsPerSample = 16;
    format.nBlockAlign = static_cast<WORD>(pcm.nChannels * 2);
    format.nAvgBytesPerSec = format.nSamplesPerSec * format.nBlockAlign;
    return format;
}

}  // namespace

CWaveOutControl::CWaveOutControl() : m_hCancel(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

void CWaveOutControl::SetPaused(bool paused) {
    m_bPaused.store(paused);
    CLockGuard lock(m_mutex);
    if (m_hWaveOut != nullptr && !m_bCancel.load()) {
        if (paused) {
            ::waveOutPause(m_hWaveOut);
        } else {
            ::waveOutRestart(m_hWaveOut);
        }
    }
}

void CWaveOutControl::Cancel() {
    m_bCancel.store(true);
    ::SetEvent(m_hCancel.Get());
    CLockGuard lock(m_mutex);
    if (m_hWaveOut != nullptr) {
        ::waveOutReset(m_hWaveOut);
    }
}

void CWaveOutControl::Attach(HWAVEOUT hWaveOut) {
    CLockGuard lock(m_mutex);
    m_hWaveOut = hWaveOut;
}

void CWaveOutControl::Detach() {
    CLockGuard lock(m_mutex);
    m_hWaveOut = nullptr;
}

bool CWaveOutput::Open(const CPcmFormat& format, CRadioFailure& failure) {
    // Another format needs a device of its own.
    Close();
    failure = MakeFailure(RadioError::NoAudioDevice);
    if (format.nSampleRate <= 0 || format.nChannels <= 0 || format.nChannels > 8) {
        return false;
    }
    if (!m_hDone) {
        m_hDone.Attach(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        if (!m_hDone) {
            return false;
        }
    }
    WAVEFORMATEX wave = PcmFormat(format);
    HWAVEOUT hWaveOut = nullptr;
    if (::waveOutOpen(&hWaveOut, WAVE_MAPPER, &wave, reinterpret_cast<DWORD_PTR>(m_hDone.Get()), 0,
                      CALLBACK_EVENT) != MMSYSERR_NOERROR) {
        return false;
    }
    m_hWaveOut = hWaveOut;
    m_format = format;
    m_nBufferSamples =
        static_cast<size_t>(format.nSampleRate / (1000 / kBufferMs)) * format.nChannels;
    for (auto& buffer : m_buffers) {
        buffer.samples.assign(m_nBufferSamples, 0);
        buffer.header = {};
        buffer.bQueued = false;
    }
    m_nCurrent = 0;
    m_nFill = 0;
    m_control.Attach(hWaveOut);
    if (m_control.Paused()) {
        m_control.WithDevice([](HWAVEOUT h) { return ::waveOutPause(h) == MMSYSERR_NOERROR; });
    }
    failure = {};
    return true;
}

bool CWaveOutput::Reclaim(CBuffer& buffer) {
    if (Playing(buffer)) {
        return false;
    }
    if (buffer.header.dwFlags & WHDR_PREPARED) {
        ::waveOutUnprepareHeader(m_hWaveOut, &buffer.header, sizeof buffer.header);
    }
    buffer.bQueued = false;
    return true;
}

size_t CWaveOutput::Write(const int16_t* samples, size_t count) {
    size_t taken = 0;
    while (taken < count && IsOpen() && !m_control.Cancelled()) {
        CBuffer& buffer = m_buffers[m_nCurrent];
        if (!Reclaim(buffer)) {
            break;
        }
        const size_t take = std::min(count - taken, m_nBufferSamples - m_nFill);
        std::memcpy(buffer.samples.data() + m_nFill, samples + taken, take * sizeof(int16_t));
        m_nFill += take;
        taken += take;
        if (m_nFill == m_nBufferSamples && !Submit()) {
            break;
        }
    }
    return taken;
}

void CWaveOutput::Flush() {
    if (m_nFill == 0 || !IsOpen()) {
        return;
    }
    // The current buffer is being filled, so it is never one that plays.
    Submit();
}

int64_t CWaveOutput::QueuedMs() const {
    if (!IsOpen() || m_format.nSampleRate <= 0) {
        return 0;
    }
    int64_t samples = 0;
    for (const auto& buffer : m_buffers) {
        if (Playing(buffer)) {
            samples += buffer.header.dwBufferLength / sizeof(int16_t);
        }
    }
    return samples * 1000 / (static_cast<int64_t>(m_format.nSampleRate) * m_format.nChannels);
}

void CWaveOutput::WaitForRoom(int waitMs) {
    if (!m_hDone) {
        ::WaitForSingleObject(m_control.CancelEvent(), static_cast<DWORD>(std::max(waitMs, 0)));
        return;
    }
    // The device's event is not trusted to come for every buffer, so the
    // caller's wait is the bound either way.
    const HANDLE handles[2] = {m_hDone.Get(), m_control.CancelEvent()};
    ::WaitForMultipleObjects(2, handles, FALSE, static_cast<DWORD>(std::max(waitMs, 0)));
}

bool CWaveOutput::Submit() {
    CBuffer& buffer = m_buffers[m_nCurrent];
    // The volume is applied as the buffer leaves, so that a change is heard
    // within the ring's length.
    ScalePcm16(buffer.samples.data(), m_nFill, m_control.EffectiveVolume());
    buffer.header = {};
    buffer.header.lpData = reinterpret_cast<LPSTR>(buffer.samples.data());
    buffer.header.dwBufferLength = static_cast<DWORD>(m_nFill * sizeof(int16_t));
    const bool written = m_control.WithDevice([&buffer](HWAVEOUT h) {
        if (::waveOutPrepareHeader(h, &buffer.header, sizeof buffer.header) != MMSYSERR_NOERROR) {
            return false;
        }
        return ::waveOutWrite(h, &buffer.header, sizeof buffer.header) == MMSYSERR_NOERROR;
    });
    if (!written) {
        if (!m_control.Cancelled()) {
            // The device is gone: say so through IsOpen rather than hand back
            // samples it will never play.
            Close();
        }
        return false;
    }
    buffer.bQueued = true;
    m_nFill = 0;
    m_nCurrent = (m_nCurrent + 1) % kBuffers;
    return true;
}

void CWaveOutput::Close() {
    if (m_hWaveOut == nullptr) {
        return;
    }
    m_control.Detach();
    ::waveOutReset(m_hWaveOut);
    for (auto& buffer : m_buffers) {
        if (buffer.header.dwFlags & WHDR_PREPARED) {
            ::waveOutUnprepareHeader(m_hWaveOut, &buffer.header, sizeof buffer.header);
        }
        buffer.header = {};
        buffer.bQueued = false;
    }
    ::waveOutClose(m_hWaveOut);
    m_hWaveOut = nullptr;
    m_nFill = 0;
    m_nCurrent = 0;
}

void WarmUpWaveOut() {
    CPcmFormat pcm;
    pcm.nSampleRate = 44100;
    pcm.nChannels = 2;
    WAVEFORMATEX format = PcmFormat(pcm);
    HWAVEOUT hWaveOut = nullptr;
    if (::waveOutOpen(&hWaveOut, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL) == MMSYSERR_NOERROR) {
        ::waveOutClose(hWaveOut);
    }
}

}  // namespace radio
