#pragma once

#include <QString>

namespace natter {

// The directory the package installs the program in, with a trailing
// separator.
QString installedProgramDirectory();

// The folder where logs are saved and looked for: the program directory when
// the user may write there, except the installed program directory, which
// belongs to the package manager (even for root); otherwise the user's
// documents folder, or the home folder when there is none.
QString logFolder(const QString &programDirectory,
                  const QString &installedDirectory = installedProgramDirectory());

} // namespace natter
