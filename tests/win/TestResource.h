// Resource ids of the Windows test program.
#pragma once

#define IDR_TESTFRAME 128
#define ID_TEST_NEXT_PANE 0xE150
#define ID_TEST_EXIT 0xE141
#define IDD_TEST_MODAL 201
#define IDD_TEST_MISSING 299
