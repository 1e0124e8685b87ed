// The hub's two operator settings, kept in its own settings key.
//
// Only a stored REG_DWORD 0 switches a setting off: a missing value, a value
// of another type and a settings key that could not be opened all read as on,
// so a damaged store errs towards freeing the cradle's port.
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
