// What the desktop program (and whatever draws its windows) sets on the application
// before the windows are made: its title and the fonts' stand-ins.
#pragma once

namespace zarnik {

// Call once after the QApplication exists.
void SetUpApplication();

}  // namespace zarnik
