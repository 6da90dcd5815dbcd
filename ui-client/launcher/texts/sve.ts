<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="sv_SE" sourcelanguage="en_US">
<context>
    <name>global</name>
    <message>
        <source>Brisendale Drive</source>
        <translation>Brisendale Drive</translation>
    </message>
    <message>
        <source>Brisendale Drive is initializing...</source>
        <translation>Brisendale Drive initieras...</translation>
    </message>
    <message>
        <source>%1 is initializing...</source>
        <translation>%1 initieras...</translation>
    </message>
    <message>
        <source>Brisendale Drive is ready.</source>
        <translation>Brisendale Drive är redo.</translation>
    </message>
    <message>
        <source>%1 is ready.</source>
        <translation>%1 är redo.</translation>
    </message>
    <message>
        <source>%1 could not be updated</source>
        <translation>%1 kunde inte uppdateras</translation>
    </message>
    <message>
        <source>%1 stops trying this update for now</source>
        <translation>%1 slutar försöka med den här uppdateringen tills vidare</translation>
    </message>
    <message>
        <source>%1 moved files out of its way</source>
        <translation>%1 flyttade undan filer som var i vägen</translation>
    </message>
    <message>
        <source>There is not enough free disk space.</source>
        <translation>Det finns inte tillräckligt med ledigt diskutrymme.</translation>
    </message>
    <message>
        <source>Your disk quota is used up.</source>
        <translation>Din diskkvot är förbrukad.</translation>
    </message>
    <message>
        <source>The update package is damaged.</source>
        <translation>Uppdateringspaketet är skadat.</translation>
    </message>
    <message>
        <source>Files of another user are in the way.</source>
        <translation>Filer som tillhör en annan användare är i vägen.</translation>
    </message>
    <message>
        <source>An unexpected error occurred.</source>
        <translation>Ett oväntat fel inträffade.</translation>
    </message>
    <message>
        <source>The installed version keeps working.</source>
        <translation>Den installerade versionen fortsätter att fungera.</translation>
    </message>
    <message>
        <source>Details: %1</source>
        <translation>Detaljer: %1</translation>
    </message>
    <message>
        <source>Finishing the installation... %1%</source>
        <translation>Slutför installationen... %1 %</translation>
    </message>
</context>
</TS>
