/* Resource identifiers of VARLOCTL, shared by the resource script and the C++ sources.
   Plain #defines only: windres reads this file too. */
#ifndef VARLO_PANEL_RES_RESOURCE_H
#define VARLO_PANEL_RES_RESOURCE_H

/* Dialog templates */
#define IDD_PANEL 1005 /* the panel, built by the panel builder */
#define IDD_ABOUT 2001 /* the about box */

/* About box items */
#define IDC_ABOUT_TEXT 1000

/* Panel controls (template 1005) */
#define IDC_DISPLAY 1003
#define IDC_LOGO 1006
#define IDC_LTC_OFF 1010
#define IDC_LTC_READ 1011
#define IDC_LTC_REFRESH 1012
#define IDC_LTC_WRITE 1013
#define IDC_LTC_MTC 1014
#define IDC_FPS_24 1020
#define IDC_FPS_25 1021
#define IDC_FPS_30D 1022
#define IDC_FPS_30 1023
#define IDC_LEVEL_M9 1040
#define IDC_LEVEL_M4 1041
#define IDC_LEVEL_0 1042
#define IDC_LEVEL_P4 1043
#define IDC_START_EDIT 1094
#define IDC_START_SET 1095
#define IDC_VU_LABEL 9998
#define IDC_FPS_LABEL 9999

/* Pictures, cursor and sound */
#define IDB_LOGO 108
#define IDB_BACKGROUND 114
#define IDCUR_GLASS 111
#define IDI_PROGRAM 9001
#define IDR_GLASS_SOUND 1009

/* Language-relative string ids (the language offset is added when loading) */
#define IDS_LANGUAGE_GERMAN 1001
#define IDS_LANGUAGE_ENGLISH 1002
#define IDS_GLASS_DISPLAY 1003
#define IDS_LTC_OFF 1010
#define IDS_LTC_READ 1011
#define IDS_LTC_REFRESH 1012
#define IDS_LTC_WRITE 1013
#define IDS_LTC_MTC 1014
#define IDS_FRAME_RATE 1020
#define IDS_OUTPUT_LEVEL 1040
#define IDS_START_EDIT 1094
#define IDS_START_SET 1095

/* Absolute string ids */
#define IDS_GERMAN_BASE 10000
#define IDS_ENGLISH_BASE 20000
#define IDS_ABOUT_TITLE_DE 12001
#define IDS_ABOUT_TEXT_DE 12010
#define IDS_ABOUT_TITLE 22001
#define IDS_ABOUT_TEXT 22010

/* Resource type of the glass sound */
#define RT_VARLO_WAVE "WAVE"

#endif
