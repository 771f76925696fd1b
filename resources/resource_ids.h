// Control ids of the main dialog, shared by main.rc and the program.
#pragma once

#define IDC_INPUT_PATH 101
#define IDC_EXIT 102
#define IDC_REPORT 103
#define IDC_BROWSE_INPUT 104
#define IDC_OUTPUT_PATH 105
#define IDC_BROWSE_OUTPUT 106
#define IDC_LISTING 107
#define IDC_THOROUGH 108
#define IDC_INFO 110
#define IDC_STATUS_BAR 111
#define IDC_SCRAMBLE 112
// Made by the program, not by the template.
#define IDC_PROGRESS 120
