<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="pl_PL" sourcelanguage="en_US">
<context>
    <name>global</name>
    <message>
        <source>Brisendale Drive</source>
        <translation>Brisendale Drive</translation>
    </message>
    <message>
        <source>Brisendale Drive is initializing...</source>
        <translation>Trwa inicjowanie Brisendale Drive...</translation>
    </message>
    <message>
        <source>%1 is initializing...</source>
        <translation>Trwa inicjowanie %1...</translation>
    </message>
    <message>
        <source>Brisendale Drive is ready.</source>
        <translation>Brisendale Drive jest gotowy.</translation>
    </message>
    <message>
        <source>%1 is ready.</source>
        <translation>%1 jest gotowy.</translation>
    </message>
    <message>
        <source>%1 could not be updated</source>
        <translation>Nie można zaktualizować %1</translation>
    </message>
    <message>
        <source>%1 stops trying this update for now</source>
        <translation>%1 na razie przestaje próbować tej aktualizacji</translation>
    </message>
    <message>
        <source>%1 moved files out of its way</source>
        <translation>%1 przeniósł pliki, które przeszkadzały</translation>
    </message>
    <message>
        <source>There is not enough free disk space.</source>
        <translation>Brak wystarczającej ilości wolnego miejsca na dysku.</translation>
    </message>
    <message>
        <source>Your disk quota is used up.</source>
        <translation>Twój przydział miejsca na dysku został wyczerpany.</translation>
    </message>
    <message>
        <source>The update package is damaged.</source>
        <translation>Pakiet aktualizacji jest uszkodzony.</translation>
    </message>
    <message>
        <source>Files of another user are in the way.</source>
        <translation>Przeszkadzają pliki innego użytkownika.</translation>
    </message>
    <message>
        <source>An unexpected error occurred.</source>
        <translation>Wystąpił nieoczekiwany błąd.</translation>
    </message>
    <message>
        <source>The installed version keeps working.</source>
        <translation>Zainstalowana wersja nadal działa.</translation>
    </message>
    <message>
        <source>Details: %1</source>
        <translation>Szczegóły: %1</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>Kończenie instalacji... %1%</translation>
    </message>
</context>
</TS>
