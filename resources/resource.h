// resource.h - ids shared by the resource script and the setup's code

#ifndef RESOURCE_H
#define RESOURCE_H

/* Dialogs */
#define IDD_SETUP       101

/* Icons */
#define IDI_SETUP       102

/* Bitmaps */
#define IDB_BROWSE      104
#define IDB_BANNER      112

/* Carried data */
#define IDR_LICENSE     111     /* licence text, type "LICENSE" */
#define IDR_PAYLOAD     115     /* product files, type "BINARY" */
#define IDR_PAYLOAD_FORMS 116   /* the payload forms this setup reads, type "BINARY" */

/* Controls of IDD_SETUP */
#define IDC_INSTALL     1003
#define IDC_BROWSE      1004
#define IDC_AGREE       1008
#define IDC_PATH        1009
#define IDC_LICENSE     1014
#define IDC_BANNER      1017
#define IDC_PROGRESS    1018
#define IDC_STATUS      1019

#endif
