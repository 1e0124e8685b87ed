// The About box: product, maker and notices from the string table.
#pragma once
#include <string>
#include "framework/dialog.h"

class CAboutDlg : public fw::Dialog {
public:
    CAboutDlg();

protected:
    BOOL OnInitDialog() override;

private:
    std::string m_strText;  // shown in the read-only edit box 1021
};
