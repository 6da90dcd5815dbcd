<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="da_DK" sourcelanguage="en_US">
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
        <translation>%1 kunne ikke opdateres</translation>
    </message>
    <message>
        <source>%1 stops trying this update for now</source>
        <translation>%1 opgiver denne opdatering indtil videre</translation>
    </message>
    <message>
        <source>%1 moved files out of its way</source>
        <translation>%1 har flyttet filer, der stod i vejen</translation>
    </message>
    <message>
        <source>There is not enough free disk space.</source>
        <translation>Der er ikke nok ledig diskplads.</translation>
    </message>
    <message>
        <source>Your disk quota is used up.</source>
        <translation>Din diskkvote er brugt op.</translation>
    </message>
    <message>
        <source>The update package is damaged.</source>
        <translation>Opdateringspakken er beskadiget.</translation>
    </message>
    <message>
        <source>Files of another user are in the way.</source>
        <translation>En anden brugers filer står i vejen.</translation>
    </message>
    <message>
        <source>An unexpected error occurred.</source>
        <translation>Der opstod en uventet fejl.</translation>
    </message>
    <message>
        <source>The installed version keeps working.</source>
        <translation>Den installerede version virker fortsat.</translation>
    </message>
    <message>
        <source>Details: %1</source>
        <translation>Detaljer: %1</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>Installationen afsluttes... %1%</translation>
    </message>
</context>
</TS>
