/* Identifiers shared by the resource script and the code. */
#ifndef STUB_RESOURCE_H
#define STUB_RESOURCE_H

#define IDD_PROGRESS      101
#define IDI_APP           102

#define IDC_PROGRESS      1000
#undef IDC_ICON          /* the system cursor id of the same name is not used */
#define IDC_ICON          1001
#define IDC_TIMELEFT      1002
#define IDC_RATE          1003
#define IDC_STATUS        1004

#define IDT_DOWNLOAD_URL  1
#define IDT_EVENT_URL     4
#define IDT_PRODUCT_CODE  104
#define IDT_REGISTRY_KEY  107
#define IDT_CAMPAIGN      2003
#define IDT_TITLE         2008
#define IDT_SETUP_SHA256  2010
#define IDT_RETRIES       2011
#define IDT_FALLBACK_URL  2012

#endif
