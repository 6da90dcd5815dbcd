<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="hu_HU" sourcelanguage="en_US">
<context>
    <name>global</name>
    <message>
        <source>Brisendale Drive</source>
        <translation>Brisendale Drive</translation>
    </message>
    <message>
        <source>Brisendale Drive is initializing...</source>
        <translation>A Brisendale Drive inicializálása folyamatban...</translation>
    </message>
    <message>
        <source>%1 is initializing...</source>
        <translation>%1 inicializálása folyamatban...</translation>
    </message>
    <message>
        <source>Brisendale Drive is ready.</source>
        <translation>A Brisendale Drive készen áll.</translation>
    </message>
    <message>
        <source>%1 is ready.</source>
        <translation>%1 készen áll.</translation>
    </message>
    <message>
        <source>%1 could not be updated</source>
        <translation>A(z) %1 frissítése nem sikerült</translation>
    </message>
    <message>
        <source>%1 stops trying this update for now</source>
        <translation>A(z) %1 egyelőre nem próbálkozik tovább ezzel a frissítéssel</translation>
    </message>
    <message>
        <source>%1 moved files out of its way</source>
        <translation>A(z) %1 félretette az útjában álló fájlokat</translation>
    </message>
    <message>
        <source>There is not enough free disk space.</source>
        <translation>Nincs elegendő szabad lemezterület.</translation>
    </message>
    <message>
        <source>Your disk quota is used up.</source>
        <translation>Elfogyott a lemezkvótája.</translation>
    </message>
    <message>
        <source>The update package is damaged.</source>
        <translation>A frissítési csomag sérült.</translation>
    </message>
    <message>
        <source>Files of another user are in the way.</source>
        <translation>Egy másik felhasználó fájljai vannak útban.</translation>
    </message>
    <message>
        <source>An unexpected error occurred.</source>
        <translation>Váratlan hiba történt.</translation>
    </message>
    <message>
        <source>The installed version keeps working.</source>
        <translation>A telepített verzió tovább működik.</translation>
    </message>
    <message>
        <source>Details: %1</source>
        <translation>Részletek: %1</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>A telepítés befejezése... %1%</translation>
    </message>
</context>
</TS>
