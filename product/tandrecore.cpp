// tandrecore.cpp - the product's engine: the looping curve and the about text
//
// Plain C++ with no <windows.h>: the window side only ever sees numbers and text.

#include "tandrecore.h"

// stdio.h before math.h: in C++, math.h brings in libstdc++'s configuration, which
// switches snprintf to mingw's own printf and would triple this DLL's size.
#include <stdio.h>
#include <math.h>

/* The motif: a point on a small arm that turns LOOP_SPEED times backwards while
   the arm's hub goes once round the unit circle. The arm overtakes the hub's motion
   (LOOP_REACH * LOOP_SPEED > 1), so the point swings back on itself and draws
   LOOP_SPEED + 1 loops round the rim. */
#define LOOP_SPEED 6
#define LOOP_REACH 0.42
#define TWO_PI 6.283185307179586

#define CORE_VERSION_MAJOR 1
#define CORE_VERSION_MINOR 0

TANDRECORE_API int TandreCurvePoints(TandrePoint *points, int capacity,
                                     int left, int top, int width, int height)
{
    if (!points || capacity < 2 || width <= 0 || height <= 0)
        return 0;

    int side = width < height ? width : height;
    double radius = side * 0.46 / (1.0 + LOOP_REACH);     // keep a margin so the pen stays inside
    double centreX = left + width / 2.0;
    double centreY = top + height / 2.0;

    for (int i = 0; i < capacity; i++)
    {
        // Last index maps to a whole turn exactly, so the loop closes on its first point.
        double t = (i == capacity - 1) ? 0.0 : TWO_PI * i / (capacity - 1);
        double x = cos(t) + LOOP_REACH * cos(LOOP_SPEED * t);
        double y = sin(t) - LOOP_REACH * sin(LOOP_SPEED * t);
        points[i].x = (int)lround(centreX + radius * x);
        points[i].y = (int)lround(centreY - radius * y);
    }
    return capacity;
}

TANDRECORE_API int TandreAboutText(char *buffer, size_t cbBuffer)
{
    return snprintf(buffer, cbBuffer, "TandreCore %d.%d: a rosette of %d loops in %d points",
                    CORE_VERSION_MAJOR, CORE_VERSION_MINOR, LOOP_SPEED + 1, TANDRE_CURVE_POINTS);
}
