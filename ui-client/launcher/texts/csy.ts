<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="cs_CZ" sourcelanguage="en_US">
<context>
    <name>global</name>
    <message>
        <source>Brisendale Drive</source>
        <translation>Brisendale Drive</translation>
    </message>
    <message>
        <source>Brisendale Drive is initializing...</source>
        <translation>Probíhá inicializace aplikace Brisendale Drive...</translation>
    </message>
    <message>
        <source>%1 is initializing...</source>
        <translation>Probíhá inicializace aplikace %1...</translation>
    </message>
    <message>
        <source>Brisendale Drive is ready.</source>
        <translation>Aplikace Brisendale Drive je připravena.</translation>
    </message>
    <message>
        <source>%1 is ready.</source>
        <translation>Aplikace %1 je připravena.</translation>
    </message>
    <message>
        <source>%1 could not be updated</source>
        <translation>%1 nelze aktualizovat</translation>
    </message>
    <message>
        <source>%1 stops trying this update for now</source>
        <translation>%1 tuto aktualizaci prozatím přestává zkoušet</translation>
    </message>
    <message>
        <source>%1 moved files out of its way</source>
        <translation>%1 přesunul soubory, které mu překážely</translation>
    </message>
    <message>
        <source>There is not enough free disk space.</source>
        <translation>Na disku není dost volného místa.</translation>
    </message>
    <message>
        <source>Your disk quota is used up.</source>
        <translation>Vaše disková kvóta je vyčerpána.</translation>
    </message>
    <message>
        <source>The update package is damaged.</source>
        <translation>Aktualizační balíček je poškozený.</translation>
    </message>
    <message>
        <source>Files of another user are in the way.</source>
        <translation>Překážejí soubory jiného uživatele.</translation>
    </message>
    <message>
        <source>An unexpected error occurred.</source>
        <translation>Došlo k neočekávané chybě.</translation>
    </message>
    <message>
        <source>The installed version keeps working.</source>
        <translation>Nainstalovaná verze nadále funguje.</translation>
    </message>
    <message>
        <source>Details: %1</source>
        <translation>Podrobnosti: %1</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>Dokončování instalace... %1 %</translation>
    </message>
</context>
</TS>
