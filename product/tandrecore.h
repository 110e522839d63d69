// tandrecore.h - the engine's exports: points of the looping curve and the about text
//
// Plain C exports, named exactly as written here (tandrecore.def pins them).

#ifndef TANDRECORE_H
#define TANDRECORE_H

#include <stddef.h>

#ifdef TANDRECORE_BUILDING
#define TANDRECORE_API extern "C" __declspec(dllexport)
#else
#define TANDRECORE_API extern "C" __declspec(dllimport)
#endif

/* Same layout as the Windows POINT, but this header stays free of <windows.h>. */
typedef struct TandrePoint
{
    int x;
    int y;
} TandrePoint;

/* Enough points for the loop to look smooth at any window size the product allows. */
#define TANDRE_CURVE_POINTS 721

/* Fills points[0 .. capacity) with one full turn of the looping curve, first and
   last point equal, fitted and centred in the box of width x height pixels whose
   top-left corner is (left, top). Returns the number of points written: capacity,
   or 0 when capacity is below 2 or the box is empty. */
TANDRECORE_API int TandreCurvePoints(TandrePoint *points, int capacity,
                                     int left, int top, int width, int height);

/* Writes a one-line about text into buffer, cut to cbBuffer - 1 bytes and always
   zero-terminated when cbBuffer > 0. Returns the length the whole text needs, as
   snprintf does, so a result >= cbBuffer means it was cut. */
TANDRECORE_API int TandreAboutText(char *buffer, size_t cbBuffer);

#endif
