// The plug-in catalogue. Not built yet: the catalogue stays empty and every
// load fails quietly, so no handheld is attached to anything.
#include "app/hub_frame.h"
#include "routing/plugin_record.h"

int CHubFrame::FindPlugin(const char *) const { return -1; }
int CHubFrame::LoadPlugin(const char *) { return -1; }
void CHubFrame::AddPlugin(CPluginRecord *record) { m_plugins.push_back(record); }
void CHubFrame::RemovePlugin(CPluginRecord *) {}
LRESULT CHubFrame::OnPluginRegister(WPARAM, LPARAM) { return 1; }
void CHubFrame::Trace(const char *) {}
