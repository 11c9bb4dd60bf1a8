/* Resource numbers shared by the program's resource script and the window.
   Plain preprocessor lines: the resource compiler reads this file too. */
#ifndef MODBUSCALC_RESOURCE_IDS_H
#define MODBUSCALC_RESOURCE_IDS_H

#define MODBUSCALC_IDI_APP 1

/* The logo rendered for 1x, 1.25x, 1.5x, 2x and 3x screens, as 8-bit RLE bitmaps. */
#define MODBUSCALC_IDR_LOGO_100 201
#define MODBUSCALC_IDR_LOGO_125 202
#define MODBUSCALC_IDR_LOGO_150 203
#define MODBUSCALC_IDR_LOGO_200 204
#define MODBUSCALC_IDR_LOGO_300 205

#endif
