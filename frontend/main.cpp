#include <memory>

#include "application.h"
#include "notice_box.h"
#include "tform1.h"

int main(int argc, char **argv)
{
    quorrel::installNoticePresenter(showNoticeBox, nullptr);
    return quorrel::runApplication(argc, argv, [] { return std::make_unique<TForm1>(); },
                                   showExceptionBox);
}
