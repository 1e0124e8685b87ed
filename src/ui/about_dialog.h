// The About box: product, maker and notices from the string table.
#pragma once
#include "framework/dialog.h"

class CAboutDlg : public fw::Dialog {
public:
    CAboutDlg();

protected:
    BOOL OnInitDialog() override;
};
