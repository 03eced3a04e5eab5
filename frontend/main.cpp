#include <iostream>
#include <memory>

#include "application.h"
#include "notice_box.h"
#include "privileges.h"
#include "tform1.h"

int main(int argc, char **argv)
{
    // qport has asked for port access at load; the window toolkit and its
    // libraries run without any privilege.
    if (const std::error_code error = quorrel::dropPrivileges()) {
        std::cerr << "Quorrel: cannot give up its privileges: " << error.message() << "\n";
        return 1;
    }
    quorrel::installNoticePresenter(showNoticeBox, nullptr);
    return quorrel::runApplication(
        argc, argv, [] { return std::make_unique<TForm1>(); }, showExceptionBox);
}
