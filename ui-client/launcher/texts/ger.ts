<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE" sourcelanguage="en_US">
<context>
    <name>global</name>
    <message>
        <source>Brisendale Drive</source>
        <translation>Brisendale Drive</translation>
    </message>
    <message>
        <source>Brisendale Drive is initializing...</source>
        <translation>Brisendale Drive wird initialisiert...</translation>
    </message>
    <message>
        <source>%1 is initializing...</source>
        <translation>%1 wird initialisiert...</translation>
    </message>
    <message>
        <source>Brisendale Drive is ready.</source>
        <translation>Brisendale Drive ist bereit.</translation>
    </message>
    <message>
        <source>%1 is ready.</source>
        <translation>%1 ist bereit.</translation>
    </message>
    <message>
        <source>%1 could not be updated</source>
        <translation>%1 konnte nicht aktualisiert werden</translation>
    </message>
    <message>
        <source>%1 stops trying this update for now</source>
        <translation>%1 versucht dieses Update vorerst nicht mehr</translation>
    </message>
    <message>
        <source>%1 moved files out of its way</source>
        <translation>%1 hat störende Dateien beiseitegeschoben</translation>
    </message>
    <message>
        <source>There is not enough free disk space.</source>
        <translation>Es ist nicht genügend freier Speicherplatz vorhanden.</translation>
    </message>
    <message>
        <source>Your disk quota is used up.</source>
        <translation>Ihr Speicherkontingent ist aufgebraucht.</translation>
    </message>
    <message>
        <source>The update package is damaged.</source>
        <translation>Das Updatepaket ist beschädigt.</translation>
    </message>
    <message>
        <source>Files of another user are in the way.</source>
        <translation>Dateien eines anderen Benutzers sind im Weg.</translation>
    </message>
    <message>
        <source>An unexpected error occurred.</source>
        <translation>Ein unerwarteter Fehler ist aufgetreten.</translation>
    </message>
    <message>
        <source>The installed version keeps working.</source>
        <translation>Die installierte Version funktioniert weiterhin.</translation>
    </message>
    <message>
        <source>Details: %1</source>
        <translation>Einzelheiten: %1</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>Installation wird abgeschlossen... %1 %</translation>
    </message>
</context>
</TS>
