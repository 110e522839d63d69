// tandredraw.cpp - draws the engine's curve into a device context with GDI
//
// The engine hands out its own point type; Polyline wants POINTs, so the points go
// through a fixed buffer in chunks rather than being cast.

#include "tandredraw.h"

#define PEN_WIDTH 2
#define CHUNK_POINTS 128

static const COLORREF s_stretchColours[] =
{
    RGB(0x1f, 0x5f, 0xbf),      // blue
    RGB(0x1f, 0x9f, 0x6f),      // green
    RGB(0xdf, 0x8f, 0x1f),      // amber
    RGB(0xbf, 0x2f, 0x5f),      // crimson
};
#define STRETCH_COUNT ((int)(sizeof(s_stretchColours) / sizeof(s_stretchColours[0])))

/* Draws points[first .. last] with the pen already selected. Each chunk repeats the
   previous chunk's last point so the line has no gaps. */
static BOOL DrawStretch(HDC hdc, const TandrePoint *points, int first, int last)
{
    POINT chunk[CHUNK_POINTS];
    int start = first;
    while (start < last)
    {
        int n = last - start + 1;
        if (n > CHUNK_POINTS)
            n = CHUNK_POINTS;
        for (int i = 0; i < n; i++)
        {
            chunk[i].x = points[start + i].x;
            chunk[i].y = points[start + i].y;
        }
        if (!Polyline(hdc, chunk, n))
            return FALSE;
        start += n - 1;
    }
    return TRUE;
}

TANDREDRAW_API BOOL TandreDrawCurve(HDC hdc, const TandrePoint *points, int count)
{
    if (!hdc || !points || count < 2)
        return FALSE;

    BOOL drawn = TRUE;
    int segments = count - 1;
    for (int s = 0; s < STRETCH_COUNT; s++)
    {
        // Stretches share their end points, so together they cover every segment once.
        int first = segments * s / STRETCH_COUNT;
        int last = segments * (s + 1) / STRETCH_COUNT;
        if (first == last)
            continue;
        HPEN pen = CreatePen(PS_SOLID, PEN_WIDTH, s_stretchColours[s]);
        if (!pen)
        {
            drawn = FALSE;
            continue;
        }
        HGDIOBJ previous = SelectObject(hdc, pen);
        if (!DrawStretch(hdc, points, first, last))
            drawn = FALSE;
        SelectObject(hdc, previous);
        DeleteObject(pen);
    }
    return drawn;
}
