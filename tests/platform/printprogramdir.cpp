// Prints the program directory as the running program sees it; the tests
// start it through links.
#include "platform/qtservices.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    std::printf("%s\n", qPrintable(natter::QtSystemFacts().programDirectory()));
    return 0;
}
