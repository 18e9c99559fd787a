// The demo UI's window: a 1024 x 600 touch panel with a button for every
// command, a "now playing" card fed by the player's events, and a list of
// everything that went over the wire. It can run a script of commands so
// that a demonstration needs nobody at the screen.
#pragma once

#include "framework/Handles.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "demo/DemoConnection_win.h"
#include "demo/DemoScript.h"

class CDemoWindow final : public IDemoConnectionOwner {
public:
    static constexpr int kWidth = 1024;
    static constexpr int kHeight = 600;

    explicit CDemoWindow(demo::CDemoOptions options);
    CDemoWindow(const CDemoWindow&) = delete;
    CDemoWindow& operator=(const CDemoWindow&) = delete;
    ~CDemoWindow();

    // Creates and shows the window and starts connecting. Problems with the
    // options found before (noted in startNotes) are shown in the list.
    bool Create(HINSTANCE hInstance, int nCmdShow, const std::vector<std::string>& startNotes);

    // IDemoConnectionOwner
    void OnConnected() override;
    void OnDisconnected() override;
    void OnEventPayload(const std::vector<uint8_t>& payload) override;

private:
    enum class EntryKind : int { Event, Command, Note };
    enum class ScriptState { Idle, Running, Sleeping, Waiting, Done };

    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);

    bool OnCreate();
    void OnPaint();
    void OnCommand(int id);
    void OnTrackbar(WPARAM wParam);
    void OnTimer(UINT_PTR id);
    void OnDrawItem(const DRAWITEMSTRUCT& item);
    void DrawButton(const DRAWITEMSTRUCT& item);
    void DrawListItem(const DRAWITEMSTRUCT& item);
    void PaintPanel(HDC hDC);

    HWND CreateChild(const wchar_t* className, const wchar_t* text, DWORD style, const RECT& rect,
                     int id, HFONT hFont);
    std::string GetControlText(int id) const;
    void SetControlText(int id, const std::string& text);

    void SendUiCommand(const std::string& type, const std::optional<std::string>& data);
    // Updates the "now playing" card from a player event.
    void ShowEvent(const demo::CEventText& event);
    void AddEntry(EntryKind kind, const std::string& text);
    void Note(const std::string& text);
    void AppendToLog(const std::string& line);

    void LoadScript();
    void ContinueScript();
    void PostContinueScript();

    demo::CDemoOptions m_options;
    HINSTANCE m_hInstance = nullptr;
    HWND m_hWnd = nullptr;
    std::unique_ptr<CDemoConnection> m_pConnection;
    CHandle m_hLogFile;

    CGdiObjectHandle<HFONT> m_hTitleFont;
    CGdiObjectHandle<HFONT> m_hLargeFont;
    CGdiObjectHandle<HFONT> m_hNormalFont;
    CGdiObjectHandle<HFONT> m_hButtonFont;
    CGdiObjectHandle<HFONT> m_hSmallFont;
    CGdiObjectHandle<HBRUSH> m_hPageBrush;

    // The "now playing" card.
    std::string m_strState = "Not playing";
    std::string m_strTitle;
    std::string m_strDetails;
    bool m_bError = false;

    std::vector<demo::CScriptStep> m_script;
    size_t m_nScriptNext = 0;
    ScriptState m_scriptState = ScriptState::Idle;
    std::string m_strAwaited;
    // Event lines since the last command, for a wait that comes after them.
    std::vector<std::string> m_recentEvents;
};
