<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="nb_NO" sourcelanguage="en_US">
<context>
    <name>global</name>
    <message>
        <source>Brisendale Drive</source>
        <translation>Brisendale Drive</translation>
    </message>
    <message>
        <source>Brisendale Drive is initializing...</source>
        <translation>Brisendale Drive initialiseres...</translation>
    </message>
    <message>
        <source>%1 is initializing...</source>
        <translation>%1 initialiseres...</translation>
    </message>
    <message>
        <source>Brisendale Drive is ready.</source>
        <translation>Brisendale Drive er klar.</translation>
    </message>
    <message>
        <source>%1 is ready.</source>
        <translation>%1 er klar.</translation>
    </message>
    <message>
        <source>%1 could not be updated</source>
        <translation>%1 kunne ikke oppdateres</translation>
    </message>
    <message>
        <source>%1 stops trying this update for now</source>
        <translation>%1 slutter å prøve denne oppdateringen inntil videre</translation>
    </message>
    <message>
        <source>%1 moved files out of its way</source>
        <translation>%1 flyttet filer som var i veien</translation>
    </message>
    <message>
        <source>There is not enough free disk space.</source>
        <translation>Det er ikke nok ledig diskplass.</translation>
    </message>
    <message>
        <source>Your disk quota is used up.</source>
        <translation>Diskkvoten din er brukt opp.</translation>
    </message>
    <message>
        <source>The update package is damaged.</source>
        <translation>Oppdateringspakken er skadet.</translation>
    </message>
    <message>
        <source>Files of another user are in the way.</source>
        <translation>Filer fra en annen bruker er i veien.</translation>
    </message>
    <message>
        <source>An unexpected error occurred.</source>
        <translation>Det oppstod en uventet feil.</translation>
    </message>
    <message>
        <source>The installed version keeps working.</source>
        <translation>Den installerte versjonen fungerer fortsatt.</translation>
    </message>
    <message>
        <source>Details: %1</source>
        <translation>Detaljer: %1</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>Fullfører installasjonen... %1 %</translation>
    </message>
</context>
</TS>
