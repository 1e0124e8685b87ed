// Settings read and written for the main dialog, and the couplings with
// HotSync Manager and PowerPoint. The couplings are not built yet: HotSync
// Manager is left alone and no PowerPoint window is watched.
#include "app/hub_frame.h"
#include "host/registry_key.h"

namespace {
const char kAutoCloseHotSync[] = "AutoCloseHotSync";
const char kStartWithPowerPoint[] = "StartWithPowerPoint";
}  // namespace

BOOL CHubFrame::GetAutoCloseHotSync() { return m_pSettings ? m_pSettings->GetBool(kAutoCloseHotSync) : TRUE; }
void CHubFrame::SetAutoCloseHotSync(BOOL on) { if (m_pSettings) m_pSettings->SetBool(kAutoCloseHotSync, on); }
BOOL CHubFrame::GetStartWithPowerPoint() { return m_pSettings ? m_pSettings->GetBool(kStartWithPowerPoint) : TRUE; }
void CHubFrame::SetStartWithPowerPoint(BOOL on) { if (m_pSettings) m_pSettings->SetBool(kStartWithPowerPoint, on); }

void CHubFrame::CloseHotSync() {}
void CHubFrame::RestartHotSync() {}
void CHubFrame::RemoveHotSyncNotifiers() {}
void CHubFrame::FindPowerPoint() {}
