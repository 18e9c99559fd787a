// The least a program can do to play sound through waveOut: a tone in the
// ring the player's output uses (four 100 ms buffers, an event per finished
// buffer), for a given number of seconds. The radio benchmark measures its
// CPU beside the player's, so that what the system's audio path costs by
// itself (under Wine, its PulseAudio driver) is told apart from the player.
//
//   AudioFloor.exe [seconds]
#include <windows.h>
#include <mmsystem.h>

#include <cmath>
#include <cstdint>
#include <cwchar>
#include <vector>

namespace {

constexpr int kRate = 44100;
constexpr int kChannels = 2;
constexpr size_t kBuffers = 4;
constexpr int kBufferMs = 100;

struct CBuffer {
    std::vector<int16_t> samples;
    WAVEHDR header{};
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const int seconds = argc > 1 ? _wtoi(argv[1]) : 20;
    if (seconds <= 0) {
        return 2;
    }
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = kChannels;
    format.nSamplesPerSec = kRate;
    format.wBitsPerSample = 16;
    format.nBlockAlign = kChannels * 2;
    format.nAvgBytesPerSec = kRate * format.nBlockAlign;
    const HANDLE done = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (done == nullptr) {
        return 1;
    }
    HWAVEOUT device = nullptr;
    if (::waveOutOpen(&device, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(done), 0,
                      CALLBACK_EVENT) != MMSYSERR_NOERROR) {
        ::CloseHandle(done);
        return 1;
    }
    const size_t frames = kRate * kBufferMs / 1000;
    std::vector<CBuffer> buffers(kBuffers);
    double phase = 0;
    bool failed = false;
    auto submit = [&](CBuffer& buffer) {
        buffer.samples.resize(frames * kChannels);
        for (size_t i = 0; i < frames; ++i) {
            const auto value = static_cast<int16_t>(8000 * std::sin(phase));
            phase += 2 * 3.14159265358979 * 440 / kRate;
            buffer.samples[2 * i] = buffer.samples[2 * i + 1] = value;
        }
        buffer.header = {};
        buffer.header.lpData = reinterpret_cast<LPSTR>(buffer.samples.data());
        buffer.header.dwBufferLength = static_cast<DWORD>(buffer.samples.size() * 2);
        failed = failed ||
                 ::waveOutPrepareHeader(device, &buffer.header, sizeof buffer.header) != 0 ||
                 ::waveOutWrite(device, &buffer.header, sizeof buffer.header) != 0;
    };
    for (auto& buffer : buffers) {
        submit(buffer);
    }
    const ULONGLONG end = ::GetTickCount64() + static_cast<ULONGLONG>(seconds) * 1000;
    size_t next = 0;
    while (!failed && ::GetTickCount64() < end) {
        ::WaitForSingleObject(done, 50);
        while (!failed && (buffers[next].header.dwFlags & WHDR_DONE) != 0) {
            ::waveOutUnprepareHeader(device, &buffers[next].header, sizeof buffers[next].header);
            submit(buffers[next]);
            next = (next + 1) % kBuffers;
        }
    }
    ::waveOutReset(device);
    for (auto& buffer : buffers) {
        ::waveOutUnprepareHeader(device, &buffer.header, sizeof buffer.header);
    }
    ::waveOutClose(device);
    ::CloseHandle(done);
    return failed ? 1 : 0;
}
