// The one pause of the program, between two checks of something that another program may still
// be holding: 250 ms.
#pragma once

void Pause();
