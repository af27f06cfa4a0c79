#!/usr/bin/env python3
"""Writes resources/processors.tsv, the shipped table of processors a user is likely to type.

Each row is the name as the maker writes it (without trademark marks) and the model as it appears
inside free text such as /proc/cpuinfo ("11th Gen Intel(R) Core(TM) i5-1135G7 @ 2.40GHz",
"AMD Ryzen 7 6800H with Radeon Graphics"). An AMD model that also ends an Intel model ("7600" in
"i5-7600", "4300U" in "i5-4300U") carries its "Ryzen N" tier, so that Intel text is never taken
for the AMD part.

Run from the repository root: python3 tools/processor_table.py > resources/processors.tsv
"""

import sys

rows = []


def core(tier_models):
    for model in tier_models.split():
        rows.append((f"Intel Core {model}", model))


# Intel Core, 2nd to 14th generation: desktop (including F, KF, K, KS), mobile (U, Y, M, QM, HQ,
# H, HK, HX, P, G) and the X/XE high-end desktop parts.
core("""
i3-2100 i3-2120 i3-2130 i5-2300 i5-2310 i5-2320 i5-2400 i5-2500 i5-2500K i7-2600 i7-2600K
i7-2700K i3-2310M i3-2330M i3-2350M i3-2370M i5-2410M i5-2430M i5-2450M i5-2520M i5-2540M
i7-2620M i7-2630QM i7-2670QM i7-2720QM i7-2760QM i7-3930K i7-3960X
i3-3220 i3-3240 i5-3330 i5-3340 i5-3450 i5-3470 i5-3550 i5-3570 i5-3570K i7-3770 i7-3770K
i3-3110M i3-3217U i5-3210M i5-3230M i5-3317U i5-3320M i5-3337U i7-3517U i7-3610QM i7-3630QM
i7-3632QM i7-4930K i7-4960X
i3-4130 i3-4150 i3-4160 i5-4430 i5-4440 i5-4460 i5-4570 i5-4590 i5-4670K i5-4690 i5-4690K
i7-4770 i7-4770K i7-4790 i7-4790K i3-4005U i3-4010U i5-4200U i5-4210U i5-4300U i5-4200M i5-4210M
i7-4500U i7-4510U i7-4700MQ i7-4710HQ i7-4720HQ i7-4770HQ i7-5820K i7-5930K i7-5960X
i3-5005U i3-5010U i5-5200U i5-5250U i5-5257U i5-5675C i7-5500U i7-5557U i7-5775C i7-5950HQ
i3-6100 i3-6100U i3-6006U i5-6200U i5-6300U i5-6300HQ i5-6400 i5-6500 i5-6600 i5-6600K
i7-6500U i7-6600U i7-6700 i7-6700K i7-6700HQ i7-6820HQ i7-6950X
i3-7100 i3-7100U i3-7020U i5-7200U i5-7300U i5-7300HQ i5-7400 i5-7500 i5-7600 i5-7600K
i7-7500U i7-7560U i7-7700 i7-7700K i7-7700HQ i7-7820HQ i5-7Y54 i7-7Y75 i7-7800X i7-7820X
i9-7900X i9-7920X i9-7940X i9-7960X i9-7980XE
i3-8100 i3-8130U i3-8145U i3-8350K i5-8250U i5-8259U i5-8265U i5-8350U i5-8365U i5-8300H
i5-8400 i5-8500 i5-8600 i5-8600K i7-8550U i7-8559U i7-8565U i7-8650U i7-8665U i7-8750H
i7-8850H i7-8700 i7-8700K i7-8086K i7-8705G i5-8210Y
i3-9100 i3-9100F i5-9400 i5-9400F i5-9500 i5-9600K i5-9600KF i5-9300H i7-9700 i7-9700F
i7-9700K i7-9700KF i7-9750H i9-9900 i9-9900K i9-9900KF i9-9900KS i9-9880H i9-9980HK i7-9800X
i9-9900X i9-9920X i9-9940X i9-9960X i9-9980XE
i3-10110U i5-10210U i5-10310U i7-10510U i7-10610U i7-10710U i3-1005G1 i5-1035G1 i5-1035G4
i5-1035G7 i7-1065G7 i5-10300H i5-10500H i7-10750H i7-10850H i7-10870H i9-10885H i9-10980HK
i3-10100 i3-10100F i3-10105 i5-10400 i5-10400F i5-10500 i5-10600 i5-10600K i5-10600KF i7-10700
i7-10700F i7-10700K i7-10700KF i9-10850K i9-10900 i9-10900F i9-10900K i9-10900KF i9-10900X
i9-10920X i9-10940X i9-10980XE
i3-1115G4 i5-1135G7 i5-1145G7 i5-1155G7 i7-1165G7 i7-1185G7 i7-1195G7 i5-11300H i5-11400H
i7-11370H i7-11800H i9-11900H i9-11980HK i5-11400 i5-11400F i5-11500 i5-11600 i5-11600K
i5-11600KF i7-11700 i7-11700F i7-11700K i7-11700KF i9-11900 i9-11900F i9-11900K i9-11900KF
i3-12100 i3-12100F i5-12400 i5-12400F i5-12500 i5-12600 i5-12600K i5-12600KF i7-12700
i7-12700F i7-12700K i7-12700KF i9-12900 i9-12900F i9-12900K i9-12900KF i9-12900KS i3-1215U
i5-1230U i5-1235U i5-1240P i5-1245U i7-1255U i7-1260P i7-1265U i5-12450H i5-12500H i7-12650H
i7-12700H i7-12800H i9-12900H i9-12900HK
i3-13100 i3-13100F i5-13400 i5-13400F i5-13500 i5-13600 i5-13600K i5-13600KF i7-13700
i7-13700F i7-13700K i7-13700KF i9-13900 i9-13900F i9-13900K i9-13900KF i9-13900KS i3-1315U
i5-1335U i5-1340P i5-1345U i7-1355U i7-1360P i7-1365U i5-13420H i5-13500H i7-13620H i7-13700H
i7-13800H i9-13900H i5-13450HX i7-13650HX i9-13900HX
i3-14100 i3-14100F i5-14400 i5-14400F i5-14500 i5-14600 i5-14600K i5-14600KF i7-14700
i7-14700F i7-14700K i7-14700KF i9-14900 i9-14900F i9-14900K i9-14900KF i9-14900KS i5-14500HX
i7-14650HX i7-14700HX i9-14900HX
i3-N300 i3-N305
""")

# Core m and Core M (fanless Y-series).
core("m3-6Y30 m5-6Y54 m5-6Y57 m7-6Y75 m3-7Y30 m3-7Y32 m3-8100Y")
for model in "M-5Y10 M-5Y31 M-5Y51 M-5Y71".split():
    rows.append((f"Intel Core {model}", model))

# Core Ultra: series 1 (Meteor Lake) and series 2 (Lunar Lake, Arrow Lake).
for tier, numbers in [
    ("5", "125H 125U 135H 135U 226V 228V 236V 238V 225 225F 245K 245KF 225H 235H"),
    ("7", "155H 155U 165H 165U 256V 258V 266V 268V 265 265F 265K 265KF 255H 265H"),
    ("9", "185H 288V 285 285K 275HX 285H"),
]:
    for number in numbers.split():
        rows.append((f"Intel Core Ultra {tier} {number}", f"Ultra {tier} {number}"))

# Intel N-series and the N-numbered Celeron and Pentium parts.
for number in "N50 N95 N97 N100 N150 N200 N250".split():
    rows.append((f"Intel {number}", number))
for name in """
Celeron N3000; Celeron N3050; Celeron N3060; Celeron N3150; Celeron N3160; Celeron N3350;
Celeron N3450; Pentium N3700; Pentium N3710; Celeron N4000; Celeron N4020; Celeron N4100;
Celeron N4120; Pentium N4200; Celeron N4500; Celeron N4505; Pentium Silver N5000;
Pentium Silver N5030; Celeron N5095; Celeron N5100; Celeron N5105; Pentium Silver N6000;
Pentium Silver N6005; Celeron J1900; Celeron J3355; Celeron J3455; Celeron J4005; Celeron J4025;
Celeron J4105; Celeron J4125; Pentium Silver J5005; Pentium Silver J5040; Celeron J6412;
Celeron J6413
""".split(";"):
    name = " ".join(name.split())
    rows.append((f"Intel {name}", name.split()[-1]))

# Pentium and Celeron desktop and laptop parts.
for name in """
Pentium G3220; Pentium G3250; Pentium G3258; Pentium G4400; Pentium G4560; Pentium G4600;
Pentium Gold G5400; Pentium Gold G5500; Pentium Gold G5600; Pentium Gold G6400;
Pentium Gold G6405; Pentium Gold G7400; Pentium 4405U; Pentium 4415U; Pentium 4417U;
Pentium Gold 5405U; Pentium Gold 6405U; Pentium Gold 7505; Pentium Gold 8505;
Celeron G1610; Celeron G1820; Celeron G1840; Celeron G3900; Celeron G3930; Celeron G4900;
Celeron G4930; Celeron G5900; Celeron G5905; Celeron G6900; Celeron 1007U; Celeron 2957U;
Celeron 3205U; Celeron 3855U; Celeron 3865U; Celeron 3867U; Celeron 4205U; Celeron 5205U;
Celeron 6305; Celeron 7305
""".split(";"):
    name = " ".join(name.split())
    rows.append((f"Intel {name}", name.split()[-1]))


def ryzen(tier, models):
    for model in models.split():
        rows.append((f"AMD Ryzen {tier} {model}", model))


# AMD Ryzen desktop, with and without graphics (G, GE, GT; X, X3D, XT, F and plain parts).
ryzen("3", "1200 1300X 2200G 3100 3200G 3300X 4100 4300G 5300G 8300G")
ryzen("5", "1400 1500X 1600 1600X 2400G 2600 2600X 3400G 3500X 3600 3600X 3600XT 4500 4600G "
           "5500 5600 5600G 5600GT 5600X 5600X3D 7500F 7600 7600X 8400F 8500G 8600G 9600X")
ryzen("7", "1700 1700X 1800X 2700 2700X 3700X 3800X 3800XT 4700G 5700 5700G 5700X 5700X3D "
           "5800X 5800X3D 7700 7700X 7800X3D 8700F 8700G 9700X 9800X3D")
ryzen("9", "3900X 3900XT 3950X 5900X 5950X 7900 7900X 7900X3D 7950X 7950X3D 9900X 9950X "
           "9950X3D")
# AMD Ryzen mobile (U, H, HS, HX).
ryzen("3", "2200U 2300U 3200U 3250U 3300U 4300U 5300U 5425U 7320U 7330U 7440U")
ryzen("5", "2500U 3500U 3550H 4500U 4600U 4600H 4600HS 5500U 5600U 5600H 5625U 6600U 6600H "
           "7520U 7530U 7535U 7535HS 7540U 7640U 7640HS 8540U 8640U 8640HS 8645HS")
ryzen("7", "2700U 3700U 3750H 4700U 4800U 4800H 4800HS 5700U 5800U 5800H 5800HS 5825U 6800U "
           "6800H 6800HS 7730U 7735U 7735HS 7840U 7840HS 7845HX 8840U 8840HS 8845HS")
ryzen("9", "4900H 4900HS 5900HS 5900HX 5980HX 6900HS 6900HX 7940HS 7945HX 8945HS")
# Ryzen AI, whose model text names the tier.
for name in ["AI 5 340", "AI 7 350", "AI 9 365", "AI 9 HX 370", "AI 9 HX 375"]:
    rows.append((f"AMD Ryzen {name}", name))

# AMD Athlon.
for name in """
Athlon 200GE; Athlon 220GE; Athlon 240GE; Athlon 300GE; Athlon 3000G; Athlon Gold 3150G;
Athlon Silver 3050U; Athlon Gold 3150U; Athlon Silver 7120U; Athlon Gold 7220U;
Athlon 5350; Athlon X4 860K; Athlon X4 950
""".split(";"):
    name = " ".join(name.split())
    rows.append((f"AMD {name}", name.split()[-1]))

intel_models = [model for name, model in rows if name.startswith("Intel ")]
for i, (name, model) in enumerate(rows):
    if name.startswith("AMD Ryzen ") and any(m.endswith("-" + model) for m in intel_models):
        rows[i] = (name, name[len("AMD "):])

names = [name for name, _ in rows]
duplicates = {n for n in names if names.count(n) > 1}
if duplicates:
    sys.exit(f"duplicate names: {sorted(duplicates)}")
for name, model in rows:
    assert "\t" not in name + model and name and model
    print(f"{name}\t{model}")
