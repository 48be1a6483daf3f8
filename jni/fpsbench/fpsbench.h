#pragma once

// The rate published by the last completed collector tick; 0 until a
// collector has completed one.
int getFPS();
